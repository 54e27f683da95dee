// Host utilities: errors, 8-bit strings, files and folders, locks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <utility>

#include "qcapi.h"

// The host's error: a message and an osError code.
class QUILL_API osException : public std::exception {
 public:
  osException(const char* text, osError code);
  osException(const osException& other);
  osException& operator=(const osException& other);
  ~osException() override;
  const char* what() const noexcept override;
  osError GetCode() const noexcept { return code_; }

 private:
  std::string text_;
  osError code_;
};

// An index or length outside the bounds of its container.
class QUILL_API osOutOfRange : public osException {
 public:
  using osException::osException;
};

// ISO-8859-1 keeps one byte per code unit ('?' for what it cannot hold, surrogates included), so
// a text's byte length is always its UTF-16 length: writes `length` bytes to out.
QUILL_API void Latin1Into(const quill_char* text, size_t length, char* out);

// An 8-bit string; re-encodes from UTF-16 by charset name ("UTF-8", "ISO-8859-1", "BINARY").
class QUILL_API CharBuffer {
 public:
  CharBuffer() = default;
  CharBuffer(const char* text);  // NOLINT: implicit like the host's own
  CharBuffer(const char* text, size_t length);
  // length -1: up to the zero terminator. "BINARY" keeps the low byte of each unit.
  // Characters the charset cannot hold become the converter's substitute ("?" for ISO-8859-1).
  CharBuffer(const quill_char* text, int32_t length, const char* charset);
  CharBuffer(const CharBuffer&) = default;
  CharBuffer(CharBuffer&&) noexcept = default;
  CharBuffer& operator=(const CharBuffer&) = default;
  CharBuffer& operator=(CharBuffer&&) noexcept = default;
  CharBuffer& operator=(const char* text);

  CharBuffer& Append(const char* text);
  CharBuffer& Append(const char* text, size_t length);
  CharBuffer& Append(const CharBuffer& other) { return Append(other.Data(), other.Length()); }
  CharBuffer& operator+=(char c);
  // Position of the first occurrence of text, or -1.
  int64_t Search(const char* text) const;
  void Reset();

  const char* c_str() const { return text_.c_str(); }
  const char* Data() const { return text_.data(); }
  size_t Length() const { return text_.size(); }
  bool IsEmpty() const { return text_.empty(); }
  const std::string& str() const { return text_; }
  // Hands over a new[]-allocated, zero-terminated copy of the text and empties the buffer.
  char* ReleaseBuffer();
  // Takes other's text without copying; other becomes empty.
  void StealBuffer(CharBuffer& other) {
    text_ = std::move(other.text_);
    other.text_.clear();
  }

 private:
  std::string text_;
};

// A file or folder. Paths use '/'; a folder's full path ends with '/'.
class QUILL_API osFile {
 public:
  osFile();
  ~osFile();
  osFile(const osFile&);
  osFile& operator=(const osFile&);
  // fileType 5 = folder, mode 3 = open existing; mustExist refuses a missing path.
  // Relative paths are taken from the current directory. 0 on success.
  osError AttachTo(const char* path, int fileType, int mode, bool mustExist);
  const char* GetFullPath() const;   // absolute; folders end with '/'
  const char* GetFilename() const;   // the name without its extension
  const char* GetExtension() const;  // with the leading dot; empty when there is none
  bool IsDirectory() const;

 private:
  friend class osDirectoryIterator;
  std::string fullPath_, filename_, extension_;
  bool isDirectory_ = false;
};

// Walks the entries of one folder ("." and ".." are never returned).
class QUILL_API osDirectoryIterator {
 public:
  osDirectoryIterator(const char* folderPath, bool recursive, bool includeFiles, bool includeFolders);
  ~osDirectoryIterator();
  osDirectoryIterator(const osDirectoryIterator&) = delete;
  osDirectoryIterator& operator=(const osDirectoryIterator&) = delete;
  // Fills file with the next entry; false when there are no more.
  bool GetNextFile(osFile& file);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The process's current directory, ending with '/'.
QUILL_API osError osGetCurrentDirectory(char* buffer, size_t size);

// A recursive lock.
class QUILL_API osCriticalSection {
 public:
  osCriticalSection();
  ~osCriticalSection();
  osCriticalSection(const osCriticalSection&) = delete;
  osCriticalSection& operator=(const osCriticalSection&) = delete;
  osError Init();
  // timeoutMs -1 waits without limit. 0 when entered.
  osError Enter(int32_t timeoutMs = -1, bool tryOnly = false);
  osError Leave();

 private:
  struct State;
  std::unique_ptr<State> state_;
};
