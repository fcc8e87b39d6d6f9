#pragma once
// Names read from the launcher's own records (ClientFiles.json, journal.json): another
// program may have written them, and an update deletes and writes by them, so each
// must be a name the extractor would place inside the client folder, at the same spot.
#include <string>

// A '/'-separated UTF-8 name relative to the client folder: not empty, no empty, "."
// or ".." component (nor one Windows trims to either), no control character, no ':',
// no component Windows opens as a device and no other character that this system
// takes for a separator.
bool IsSafeRecordName(const std::string& name);
