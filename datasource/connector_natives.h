// The JDBC connector's own natives: the route stamp of an action's host and database, what a
// search reads of its action in one crossing, whether a request acted on a host before, and the
// column lists of kept searches told to the server by number.
#pragma once

#include <jni.h>

#include "host/qcapi.h"

// What a search reads of its action before it runs: the route stamp, the rows to skip, the row
// after the last one wanted (Long.MAX_VALUE for no limit), whether the action is statement-only,
// and, for one that is not, whether it is the request's first on its host (its empty connection
// slot is then made, so a later action on the host finds the slot).
struct SearchFacts {
  jlong stamp = 0;
  jlong skip = 0;
  jlong end = 0;
  bool statementOnly = false;
  bool firstOnHost = false;
};
// Sets the action's statement (zero-terminated UTF-16) and reads its search facts, as
// searchFacts0 does for a connector that asks for them itself.
SearchFacts ReadSearchFacts(quill_token t, const quill_char* statement);

// Binds them on the connector's class (or the superclass that declares them), from its object at
// registration: the module's class loader does not look natives up in this library by name. A
// connector class without them goes the public natives' way (false).
bool BindConnectorNatives(JNIEnv* env, jclass connectorClass);
