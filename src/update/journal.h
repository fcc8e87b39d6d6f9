#pragma once
// The last step of an incremental update: removed files go and unpacked files move into
// the client folder, following a journal written first, so that a launch after a crash
// in the middle finishes the step before doing anything else.
//
// Everything lives in "<client folder>.update" beside the client folder: "pieces"
// (the package's fetched byte ranges), "files" (the unpacked entries waiting to move,
// each named after its entry's index) and "journal.json".
#include <cstdint>
#include <string>
#include <vector>

#include "update/client_files.h"

struct UpdateFolders {
  std::string root;
  std::string pieces;
  std::string files;
  std::string journal;
};

UpdateFolders UpdateFoldersFor(const std::string& clientFolder);

// The package an incremental update reads by byte ranges, as its end record told.
struct PackageSource {
  std::string url;
  std::string validator;  // what each range request names in If-Range
  std::uint64_t size = 0;
  std::uint64_t directoryOffset = 0;
  UpdateFolders folders;
};

struct JournalMove {
  std::string unpacked;  // the file's name in "files": decimal digits
  std::string name;      // its record name in the client folder
  bool operator==(const JournalMove&) const = default;
};

struct UpdateJournal {
  std::string version;               // what Version.json records once the step is done
  std::vector<JournalMove> moves;    // from "files" into the client folder
  std::vector<std::string> removes;  // record names deleted from the client folder
  ClientFiles record;                // ClientFiles.json once the step is done
};

bool WriteJournal(const std::string& path, const UpdateJournal& journal);
// False when there is no journal, it is not of this shape, a name in it is not a safe
// record name (IsSafeRecordName) or an unpacked file's name is not decimal digits.
bool ReadJournal(const std::string& path, UpdateJournal* journal);

// Whether `name` below `root` passes through a link: one of its folders, or the name
// itself, is a link (platform::IsLink). A missing part is no link.
bool PassesThroughLink(const std::string& root, const std::string& name);

enum class JournalCheck {
  Ready,     // ApplyJournal can end at the journal's result
  Held,      // a file to be replaced or deleted is held open by a running program
  Conflict,  // it cannot: an unpacked file is missing, a name passes through a link, a file
             // the journal keeps stands where a folder must be, a folder holding what the
             // journal keeps stands where a file goes, or a path is too long
};
// Looks before anything is changed; nothing is changed. Held comes before Conflict: the
// whole install would stop at the held file after emptying part of the client.
JournalCheck CheckJournal(const UpdateFolders& folders, const std::string& clientFolder, const UpdateJournal& journal);

// Removes, then moves, as the journal says. A removed name's file goes, with the folders
// it leaves empty; a folder at a removed name stays (the file became a folder). A move
// makes its folders, replaces a file or an empty folder at its name and clears the
// read-only attribute first. Nothing is created, moved or deleted through a link.
// Running it again after an interruption at any point ends at the same content: once a
// unpacked file has gone, the removes were all done, and are not repeated (on a system
// that ignores letter case, a remove would otherwise delete the new file of a rename
// that only changed the case). False when a step fails; the journal stays for a
// later run.
bool ApplyJournal(const UpdateFolders& folders, const std::string& clientFolder, const UpdateJournal& journal);

// Test seam: called after each remove and each move, with the number done so far in
// this run; returning false stops the run there, as an interruption would.
void SetAfterStepHookForTesting(bool (*hook)(std::size_t done));
