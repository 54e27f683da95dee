// The host's exception type.
#include "host/os.h"

osException::osException(const char* text, osError code) : text_(text != nullptr ? text : ""), code_(code) {}
osException::osException(const osException& other) = default;
osException& osException::operator=(const osException& other) = default;
osException::~osException() = default;

const char* osException::what() const noexcept { return text_.c_str(); }
