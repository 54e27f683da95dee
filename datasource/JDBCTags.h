// The administration tags of the JDBC connector's data sources (_jdbc_acceptsurl and the
// others). Each tag is one JDBCTags object; all behave the same and decide by the name of the
// tag being run. Every tag but _jdbc_debug sends its own action code to the connector's Java
// object, which answers with the tag's value.
#pragma once

#include "host/request.h"

class JDBCTags : public SubstitutionTag {
 public:
  void Run(CallFrame* frame, Variant* result, Request* request) override;
};

// Registers the eight tags with the registry, in their fixed order.
void RegisterJDBCTags(TagRegistry* registry);
