#pragma once
// Names read from the launcher's own records and lists (ClientFiles.json, journal.json,
// the release's file list): another program may have written them, so each must be a
// name the extractor would place inside the client folder, at the same spot.
#include <string>

// A '/'-separated relative name with no empty, "." or ".." component, no control
// character, no ':' and nothing the system reads as a device or another separator.
bool IsSafeRecordName(const std::string& name);
