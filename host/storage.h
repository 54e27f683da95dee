// The host's singleton, its settings, and the storage manager over the internal databases.
#pragma once

#include <vector>

#include "os.h"

struct QUILL_API QuillSettings {
  // Set by the server to keep plug-in modules from starting (for example in maintenance runs).
  bool suppressModules = false;
};

class QUILL_API Quill {
 public:
  static Quill* Instance();
  QuillSettings& Settings() { return settings_; }

 private:
  QuillSettings settings_;
};

class QUILL_API StorageManager {
 public:
  // One row: the columns in order; a SQL NULL is a null pointer.
  using Row = std::vector<CharBuffer*>;
  using Rows = std::vector<Row>;

  // Runs sql on the named database ("quill_internal" is the host's own) and appends the rows
  // it returns. `out`, when given, receives the first column of the first row. 0 on success.
  static osError Execute(const char* database, const char* sql, Rows* rows, CharBuffer* out);
  // Frees what Execute put into rows and empties it.
  static void KillRows(Rows* rows);
};
