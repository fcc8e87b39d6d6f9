#pragma once
// The entry's first step, before the single-instance lock and before any window: the
// launcher finds Setting.json, Check.dat and the client through its own folder, so
// when the system cannot hand that folder over as a narrow path (it is too long, or
// the ANSI code page cannot spell it) the launcher stops with a message instead of
// working in whatever folder it was started from. Setting.json is out of reach then,
// so the text is built in.
#include "platform/path.h"
#include "shell/window_system.h"

inline constexpr wchar_t kOwnFolderUnusableCaption[] = L"Launcher";
inline constexpr wchar_t kOwnFolderUnusableText[] =
    L"The launcher cannot run from this folder: its path is too long or contains characters this system cannot "
    L"use. Move it to a shorter folder path.";

// True when the launcher can work in its folder; otherwise shows the error box and,
// once the user has closed it, returns false.
inline bool CheckOwnFolder() {
  if (!platform::GetExecutablePath().empty()) return true;
  window_system::ShowErrorBox(nullptr, kOwnFolderUnusableText, kOwnFolderUnusableCaption);
  return false;
}
