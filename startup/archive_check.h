// A look at a class-path archive before the VM is given it.
#pragma once

#include <string>

// Why the zip archive (jar, war, ear, zip) at path cannot be used: it cannot be read, is empty,
// is not a zip archive or has lost its central directory (a truncated copy). Empty when it
// looks sound.
std::string ArchiveProblem(const char* path);
