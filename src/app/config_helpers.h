#pragma once
// The launcher's folders: the application-data fallback and the writability probe.
#include <string>

// Path below the user's application-data folder; created (one level) when missing.
std::wstring EnsureAppDataSubfolder(const std::wstring& name);
std::string AppDataGameRoot(const std::string& name);
// Whether a file can be written at `path` and read back; the file is gone afterwards.
bool CheckWritable(const std::string& path);
