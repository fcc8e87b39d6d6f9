// Symbolic-link entries on Windows: not kept; the entry unpacks as a file holding its target.
#include "zip/symlink.h"

const ArchiveLinkOps* ArchiveLinks() { return nullptr; }
