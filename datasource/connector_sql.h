// The SQL path of a connector data source's record actions: the action's parameters read through
// the QCAPI into the statement builder's input, the column discovery, and the statement.
#pragma once

#include <jni.h>

#include <vector>

#include "datasource/sql_builder.h"
#include "host/datasource.h"

class JavaDataSource;
class TExecState;

namespace datasource {

// Reads what the builder needs of the action the token's state runs. The views point at text the
// host keeps until that state ends.
ActionInput ReadActionInput(quill_token token);

// The column types the discovery reported, read from the request's database output parameters,
// or from the columns an earlier discovery left kept.
class OutputColumnTypes final : public ColumnTypes {
 public:
  explicit OutputColumnTypes(const WebOutputParams* output)
      : columns_(output != nullptr ? &output->columns : nullptr) {}
  // Reads the types from columns (kept from an earlier discovery) instead.
  void ReadFrom(const std::vector<DBColumnInfo>* columns) { columns_ = columns; }
  bool TypeOfName(std::string_view name, NameForm form, int32_t* type) const override;
  bool TypeAt(std::size_t position, int32_t* type) const override;

 private:
  const std::vector<DBColumnInfo>* columns_;
};

}  // namespace datasource
