#pragma once
// The last step of an incremental update: staged files move into the client folder and
// removed files go, following a journal written first, so that a launch after a crash
// in the middle finishes the step before doing anything else.
//
// Everything lives in "<client folder>.update" beside the client folder: "pieces"
// (the package's fetched byte ranges), "files" (the unpacked entries waiting to move)
// and "journal.json".
#include <cstdint>
#include <string>
#include <vector>

#include "app/client_files.h"

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

struct UpdateJournal {
  std::string version;               // what Version.json records once the step is done
  std::vector<std::string> moves;    // record names, from "files" into the client folder
  std::vector<std::string> removes;  // record names deleted from the client folder
  ClientFiles record;                // ClientFiles.json once the step is done
};

bool WriteJournal(const std::string& path, const UpdateJournal& journal);
// False when there is no journal or it is not of this shape.
bool ReadJournal(const std::string& path, UpdateJournal* journal);

// Whether every file that the journal replaces or deletes can be (none is held open
// by a running program); nothing is changed.
bool CanApplyJournal(const std::string& clientFolder, const UpdateJournal& journal);
// Moves and deletes as the journal says. Running it again after an interruption
// completes it: a file already moved is not asked for again. Folders left empty by
// deleted files go too. False when a file cannot be moved.
bool ApplyJournal(const UpdateFolders& folders, const std::string& clientFolder, const UpdateJournal& journal);

// Test seam: called after each file moved, with the number moved so far.
void SetAfterMoveHookForTesting(void (*hook)(std::size_t moved));
