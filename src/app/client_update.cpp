#include "app/client_update.h"

#include <json/json.h>

#include "app/config_helpers.h"
#include "platform/file.h"
#include "platform/path.h"

namespace {

void (*g_afterMoveHook)(std::size_t) = nullptr;

Json::Value NameList(const std::vector<std::string>& names) {
  Json::Value list(Json::arrayValue);
  for (const std::string& name : names) list.append(name);
  return list;
}

bool ReadNameList(const Json::Value& list, std::vector<std::string>* names) {
  if (!list.isArray()) return false;
  for (const Json::Value& name : list) {
    if (!name.isString()) return false;
    names->push_back(name.asString());
  }
  return true;
}

// Makes the folders of `name` below `root`, one level at a time.
void EnsureParentFolders(const std::string& root, const std::string& name) {
  for (std::size_t slash = name.find('/'); slash != std::string::npos; slash = name.find('/', slash + 1)) {
    platform::MakeFolder(ClientFilePath(root, name.substr(0, slash)));
  }
}

// Removes the folders of `name` below `root` that are empty now, deepest first.
void RemoveEmptyParents(const std::string& root, std::string name) {
  for (std::size_t slash = name.rfind('/'); slash != std::string::npos; slash = name.rfind('/')) {
    name.resize(slash);
    if (!platform::RemoveFolder(ClientFilePath(root, name))) return;
  }
}

bool Exists(const std::string& path) {
  std::uint32_t attributes = 0;
  return platform::QueryAttributes(path, &attributes);
}

bool MoveInto(const UpdateFolders& folders, const std::string& clientFolder, const std::string& name) {
  const std::string staged = ClientFilePath(folders.files, name);
  const std::string target = ClientFilePath(clientFolder, name);
  // Moved before an interruption.
  if (!Exists(staged)) return Exists(target);
  EnsureParentFolders(clientFolder, name);
  if (Exists(target)) platform::ClearReadOnly(platform::NativePath::FromAnsi(target));
  return platform::RenameOver(staged, target);
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
  document["Moves"] = NameList(journal.moves);
  document["Removes"] = NameList(journal.removes);
  document["Record"] = ClientFilesToJson(journal.record);
  return WriteJsonFile(path, document);
}

bool ReadJournal(const std::string& path, UpdateJournal* journal) {
  Json::Value document;
  UpdateJournal read;
  if (!ReadJsonFile(path, document) || !document.isObject() || !document["Version"].isString() ||
      !ReadNameList(document["Moves"], &read.moves) || !ReadNameList(document["Removes"], &read.removes) ||
      !ClientFilesFromJson(document["Record"], &read.record)) {
    return false;
  }
  read.version = document["Version"].asString();
  *journal = std::move(read);
  return true;
}

bool CanApplyJournal(const std::string& clientFolder, const UpdateJournal& journal) {
  for (const auto* names : {&journal.moves, &journal.removes}) {
    for (const std::string& name : *names) {
      if (!platform::CanReplaceFile(ClientFilePath(clientFolder, name))) return false;
    }
  }
  return true;
}

bool ApplyJournal(const UpdateFolders& folders, const std::string& clientFolder, const UpdateJournal& journal) {
  std::size_t moved = 0;
  for (const std::string& name : journal.moves) {
    if (!MoveInto(folders, clientFolder, name)) return false;
    if (g_afterMoveHook) g_afterMoveHook(++moved);
  }
  for (const std::string& name : journal.removes) {
    const std::string path = ClientFilePath(clientFolder, name);
    if (!Exists(path)) continue;
    platform::ClearReadOnly(platform::NativePath::FromAnsi(path));
    if (!platform::RemoveFile(path)) return false;
    RemoveEmptyParents(clientFolder, name);
  }
  return true;
}

void SetAfterMoveHookForTesting(void (*hook)(std::size_t moved)) { g_afterMoveHook = hook; }
