// CharBuffer: the host's 8-bit string, with re-encoding from UTF-16 through ICU converters.
#include <unicode/ucnv.h>

#include <strings.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "host/os.h"

namespace {

size_t Utf16Length(const quill_char* text) {
  size_t length = 0;
  while (text[length] != 0) ++length;
  return length;
}

// Low byte of every unit: a UTF-16 text that carries raw bytes.
std::string LowBytes(const quill_char* text, size_t length) {
  std::string bytes(length, '\0');
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>(text[i] & 0xFF);
  return bytes;
}

struct ConverterCloser {
  void operator()(UConverter* converter) const { ucnv_close(converter); }
};

// Opening a converter costs more than most conversions, so each thread keeps the ones it used.
UConverter* ConverterFor(const char* charset) {
  thread_local std::map<std::string, std::unique_ptr<UConverter, ConverterCloser>> cache;
  auto it = cache.find(charset);
  if (it == cache.end()) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<UConverter, ConverterCloser> converter(ucnv_open(charset, &status));
    if (U_FAILURE(status)) throw osException("Unknown character set", QUILL_ERR_INVALID);
    // Single-byte charsets substitute with '?' rather than ICU's control character SUB.
    if (ucnv_getMaxCharSize(converter.get()) == 1) ucnv_setSubstChars(converter.get(), "?", 1, &status);
    it = cache.emplace(charset, std::move(converter)).first;
  }
  ucnv_resetFromUnicode(it->second.get());
  return it->second.get();
}

std::string Convert(const quill_char* text, size_t length, const char* charset) {
  UConverter* converter = ConverterFor(charset);
  UErrorCode status = U_ZERO_ERROR;
  const auto units = static_cast<int32_t>(length);
  std::string out(static_cast<size_t>(UCNV_GET_MAX_BYTES_FOR_STRING(units, ucnv_getMaxCharSize(converter))), '\0');
  int32_t written = ucnv_fromUChars(converter, out.data(), static_cast<int32_t>(out.size()),
                                    reinterpret_cast<const UChar*>(text), units, &status);
  if (status == U_BUFFER_OVERFLOW_ERROR) {
    status = U_ZERO_ERROR;
    out.resize(static_cast<size_t>(written));
    written = ucnv_fromUChars(converter, out.data(), static_cast<int32_t>(out.size()),
                              reinterpret_cast<const UChar*>(text), units, &status);
  }
  if (U_FAILURE(status) && status != U_STRING_NOT_TERMINATED_WARNING) {
    throw osException("Text cannot be converted", QUILL_ERR_INVALID);
  }
  out.resize(static_cast<size_t>(written));
  return out;
}

}  // namespace

void Latin1Into(const quill_char* text, size_t length, char* out) {
  for (size_t i = 0; i < length; ++i) out[i] = text[i] <= 0xFF ? static_cast<char>(text[i]) : '?';
}

CharBuffer::CharBuffer(const char* text) {
  if (text != nullptr) text_ = text;
}

CharBuffer::CharBuffer(const char* text, size_t length) {
  if (text != nullptr) text_.assign(text, length);
}

CharBuffer::CharBuffer(const quill_char* text, int32_t length, const char* charset) {
  if (length < -1) throw osOutOfRange("Negative text length", QUILL_ERR_OUT_OF_RANGE);
  if (text == nullptr || length == 0) return;
  if (charset == nullptr) throw osException("No character set", QUILL_ERR_INVALID);
  const size_t units = length == -1 ? Utf16Length(text) : static_cast<size_t>(length);
  if (units > static_cast<size_t>(INT32_MAX / 4)) throw osOutOfRange("Text too long", QUILL_ERR_OUT_OF_RANGE);
  if (strcasecmp(charset, "BINARY") == 0) {
    text_ = LowBytes(text, units);
  } else if (strcasecmp(charset, "ISO-8859-1") == 0 || strcasecmp(charset, "Latin1") == 0) {
    text_.resize(units);
    Latin1Into(text, units, text_.data());
  } else {
    text_ = Convert(text, units, charset);
  }
}

CharBuffer& CharBuffer::operator=(const char* text) {
  if (text == nullptr) {
    text_.clear();
  } else {
    text_ = text;
  }
  return *this;
}

CharBuffer& CharBuffer::Append(const char* text) {
  if (text != nullptr) text_ += text;
  return *this;
}

CharBuffer& CharBuffer::Append(const char* text, size_t length) {
  if (text != nullptr) text_.append(text, length);
  return *this;
}

CharBuffer& CharBuffer::operator+=(char c) {
  text_ += c;
  return *this;
}

int64_t CharBuffer::Search(const char* text) const {
  if (text == nullptr) return -1;
  size_t at = text_.find(text);
  return at == std::string::npos ? -1 : static_cast<int64_t>(at);
}

void CharBuffer::Reset() { text_.clear(); }

char* CharBuffer::ReleaseBuffer() {
  char* copy = new char[text_.size() + 1];
  std::memcpy(copy, text_.data(), text_.size());
  copy[text_.size()] = '\0';
  text_.clear();
  text_.shrink_to_fit();
  return copy;
}
