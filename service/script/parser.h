// Parses script source (UTF-8) into a program.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>

#include "service/script/ast.h"

namespace quill_script {

class QUILL_API ParseError : public std::runtime_error {
 public:
  ParseError(const std::string& message, Location loc) : std::runtime_error(message), loc_(loc) {}
  Location Where() const { return loc_; }

 private:
  Location loc_;
};

// Throws ParseError naming the line and column (both from 1) of the first error.
QUILL_API std::shared_ptr<const Program> Parse(const std::string& source, const std::string& fileName);

}  // namespace quill_script
