#include "update/journal.h"

#include <json/json.h>

#include <algorithm>
#include <set>

#include "platform/file.h"
#include "platform/path.h"
#include "store/files.h"
#include "store/json_file.h"
#include "update/record_name.h"

namespace {

bool (*g_afterStepHook)(std::size_t) = nullptr;

enum class Kind { Missing, File, Folder, Link };

// What stands at `path`; a link is named as such, whatever it points to.
Kind KindOf(const std::string& path) {
  if (platform::IsLink(path)) return Kind::Link;
  std::uint32_t attributes = 0;
  if (!platform::QueryAttributes(path, &attributes)) return Kind::Missing;
  return (attributes & platform::kAttributeDirectory) ? Kind::Folder : Kind::File;
}

// The folders of a record name, outermost first: "a", "a/b" for "a/b/c".
std::vector<std::string> ParentFolders(const std::string& name) {
  std::vector<std::string> parents;
  for (std::size_t slash = name.find('/'); slash != std::string::npos; slash = name.find('/', slash + 1)) {
    parents.push_back(name.substr(0, slash));
  }
  return parents;
}

bool IsDigits(const std::string& text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

Json::Value NameList(const std::vector<std::string>& names) {
  Json::Value list(Json::arrayValue);
  for (const std::string& name : names) list.append(name);
  return list;
}

bool ReadNameList(const Json::Value& list, std::vector<std::string>* names) {
  if (!list.isArray()) return false;
  for (const Json::Value& name : list) {
    if (!name.isString() || !IsSafeRecordName(name.asString())) return false;
    names->push_back(name.asString());
  }
  return true;
}

bool ReadMoves(const Json::Value& list, std::vector<JournalMove>* moves) {
  if (!list.isArray()) return false;
  for (const Json::Value& item : list) {
    if (!item.isObject() || !item["Staged"].isString() || !item["Name"].isString()) return false;
    JournalMove move{item["Staged"].asString(), item["Name"].asString()};
    if (!IsDigits(move.unpacked) || !IsSafeRecordName(move.name)) return false;
    moves->push_back(std::move(move));
  }
  return true;
}

// Whether the folder `name` below `root` holds nothing but folders and files named in
// `removed`, however deep; a link inside counts as something else.
bool HoldsOnlyRemoved(const std::string& root, const std::string& name, const std::set<std::string>& removed) {
  platform::FolderSearch search;
  if (!search.Open(platform::NativePath::FromAnsi(ClientFilePath(root, name)))) return false;
  platform::FolderEntry entry;
  while (search.Next(&entry)) {
    if (entry.name.IsSelfOrParent()) continue;
    const std::string child = name + "/" + entry.name.ToUtf8();
    if (entry.isLink) return false;
    if (entry.isFolder ? !HoldsOnlyRemoved(root, child, removed) : !removed.count(child)) return false;
  }
  return true;
}

// Removes a folder that holds nothing but empty folders, deepest first; false when it
// holds a file or a link, or a removal fails.
bool RemoveEmptyTree(const platform::NativePath& folder) {
  std::vector<platform::NativePath> inner;
  {
    platform::FolderSearch search;
    if (!search.Open(folder)) return false;
    platform::FolderEntry entry;
    while (search.Next(&entry)) {
      if (entry.name.IsSelfOrParent()) continue;
      if (entry.isLink || !entry.isFolder) return false;
      inner.push_back(folder.Join(entry.name));
    }
  }
  return std::all_of(inner.begin(), inner.end(), RemoveEmptyTree) && platform::RemoveFolder(folder);
}

// Makes the missing folders of `name` below `root`; false when a file stands where one
// must be, or a folder cannot be made.
bool EnsureParentFolders(const std::string& root, const std::string& name) {
  for (const std::string& parent : ParentFolders(name)) {
    const std::string path = ClientFilePath(root, parent);
    const Kind kind = KindOf(path);
    if (kind == Kind::Missing && !platform::MakeFolder(path)) return false;
    if (kind != Kind::Missing && kind != Kind::Folder) return false;
  }
  return true;
}

// Removes the folders of `name` below `root` that are empty now, deepest first.
void RemoveEmptyParents(const std::string& root, std::string name) {
  for (std::size_t slash = name.rfind('/'); slash != std::string::npos; slash = name.rfind('/')) {
    name.resize(slash);
    if (!platform::RemoveFolder(ClientFilePath(root, name))) return;
  }
}

// A file at a removed name goes, and the folders it leaves empty. The folders go also
// when the file is gone already: a run may have ended between the two.
bool RemoveRecorded(const std::string& clientFolder, const std::string& name) {
  if (PassesThroughLink(clientFolder, name)) return false;
  const std::string path = ClientFilePath(clientFolder, name);
  const Kind kind = KindOf(path);
  // The file became a folder, which a later move fills (or filled before an interruption).
  if (kind == Kind::Folder) return true;
  if (kind == Kind::File) {
    // A failure to clear it shows as the failed removal.
    platform::ClearReadOnly(platform::NativePath::FromAnsi(path));
    if (!platform::RemoveFile(path)) return false;
  }
  RemoveEmptyParents(clientFolder, name);
  return true;
}

bool MoveInto(const UpdateFolders& folders, const std::string& clientFolder, const JournalMove& move) {
  if (PassesThroughLink(folders.files, move.unpacked) || PassesThroughLink(clientFolder, move.name)) return false;
  const std::string unpacked = ClientFilePath(folders.files, move.unpacked);
  const std::string target = ClientFilePath(clientFolder, move.name);
  const Kind unpackedKind = KindOf(unpacked);
  // Moved before an interruption.
  if (unpackedKind == Kind::Missing) return KindOf(target) == Kind::File;
  if (unpackedKind != Kind::File || !EnsureParentFolders(clientFolder, move.name)) return false;
  const Kind targetKind = KindOf(target);
  // The folder became a file: its files went with the removes, empty folders may stay.
  if (targetKind == Kind::Folder && !RemoveEmptyTree(platform::NativePath::FromAnsi(target))) return false;
  // A failure to clear it shows as the failed rename.
  if (targetKind == Kind::File) platform::ClearReadOnly(platform::NativePath::FromAnsi(target));
  return platform::RenameOver(unpacked, target);
}

bool UpdateFolderIsLinked(const UpdateFolders& folders) {
  return platform::IsLink(folders.root) || platform::IsLink(folders.files);
}

}  // namespace

UpdateFolders UpdateFoldersFor(const std::string& clientFolder) {
  UpdateFolders folders;
  folders.root = clientFolder + ".update";
  folders.pieces = JoinPath(folders.root, "pieces");
  folders.files = JoinPath(folders.root, "files");
  folders.journal = JoinPath(folders.root, "journal.json");
  return folders;
}

bool WriteJournal(const std::string& path, const UpdateJournal& journal) {
  Json::Value document(Json::objectValue);
  document["Version"] = journal.version;
  Json::Value& moves = document["Moves"] = Json::Value(Json::arrayValue);
  for (const JournalMove& move : journal.moves) {
    Json::Value item(Json::objectValue);
    item["Staged"] = move.unpacked;
    item["Name"] = move.name;
    moves.append(item);
  }
  document["Removes"] = NameList(journal.removes);
  document["Record"] = ClientFilesToJson(journal.record);
  return WriteJsonFile(path, document);
}

bool ReadJournal(const std::string& path, UpdateJournal* journal) {
  Json::Value document;
  UpdateJournal read;
  if (!ReadJsonFile(path, document) || !document.isObject() || !document["Version"].isString() ||
      !ReadMoves(document["Moves"], &read.moves) || !ReadNameList(document["Removes"], &read.removes) ||
      !ClientFilesFromJson(document["Record"], &read.record)) {
    return false;
  }
  read.version = document["Version"].asString();
  *journal = std::move(read);
  return true;
}

bool PassesThroughLink(const std::string& root, const std::string& name) {
  for (std::size_t slash = name.find('/');; slash = name.find('/', slash + 1)) {
    if (platform::IsLink(ClientFilePath(root, name.substr(0, slash)))) return true;
    if (slash == std::string::npos) return false;
  }
}

JournalCheck CheckJournal(const UpdateFolders& folders, const std::string& clientFolder, const UpdateJournal& journal) {
  bool conflict = UpdateFolderIsLinked(folders);
  bool held = false;
  // A name whose file is replaced or deleted.
  const auto look = [&](const std::string& name) {
    const std::string path = ClientFilePath(clientFolder, name);
    if (!platform::FitsMaxPath(path) || PassesThroughLink(clientFolder, name)) {
      conflict = true;
    } else if (!platform::CanReplaceFile(path)) {
      held = true;
    }
  };
  for (const std::string& name : journal.removes) look(name);
  const std::set<std::string> removed(journal.removes.begin(), journal.removes.end());
  std::set<std::string> moved;
  for (const JournalMove& move : journal.moves) moved.insert(move.name);
  for (const JournalMove& move : journal.moves) {
    look(move.name);
    const std::string unpacked = ClientFilePath(folders.files, move.unpacked);
    if (!platform::FitsMaxPath(unpacked) || KindOf(unpacked) != Kind::File) conflict = true;
    for (const std::string& parent : ParentFolders(move.name)) {
      const Kind kind = KindOf(ClientFilePath(clientFolder, parent));
      if ((kind == Kind::File && !removed.count(parent)) || moved.count(parent)) conflict = true;
    }
    if (KindOf(ClientFilePath(clientFolder, move.name)) == Kind::Folder &&
        !HoldsOnlyRemoved(clientFolder, move.name, removed)) {
      conflict = true;
    }
  }
  if (held) return JournalCheck::Held;
  return conflict ? JournalCheck::Conflict : JournalCheck::Ready;
}

bool ApplyJournal(const UpdateFolders& folders, const std::string& clientFolder, const UpdateJournal& journal) {
  if (UpdateFolderIsLinked(folders)) return false;
  std::size_t done = 0;
  const auto stepDone = [&] { return !g_afterStepHook || g_afterStepHook(++done); };
  // Moves come after every remove, so an unpacked file that has gone tells that an earlier
  // run did all the removes. Doing them again could delete what the moves brought: a
  // name that differs from a moved one in letter case only is that same file on a
  // system that ignores case.
  const bool removesDone = std::any_of(journal.moves.begin(), journal.moves.end(), [&](const JournalMove& move) {
    return KindOf(ClientFilePath(folders.files, move.unpacked)) == Kind::Missing;
  });
  for (const std::string& name : journal.removes) {
    if (!removesDone && !RemoveRecorded(clientFolder, name)) return false;
    if (!stepDone()) return false;
  }
  for (const JournalMove& move : journal.moves) {
    if (!MoveInto(folders, clientFolder, move) || !stepDone()) return false;
  }
  return true;
}

void SetAfterStepHookForTesting(bool (*hook)(std::size_t done)) { g_afterStepHook = hook; }
