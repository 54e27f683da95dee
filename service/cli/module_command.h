#pragma once

#include <string>
#include <vector>

namespace quill_service {

// `quill module new NAME --tags|--datasource [--dir FOLDER]`: writes a module project for the
// server root root into FOLDER/NAME. quill is the command's own path, baked into the project's
// build script together with the root.
int ModuleCommand(const std::string& root, const std::string& quill, const std::vector<std::string>& args);

}  // namespace quill_service
