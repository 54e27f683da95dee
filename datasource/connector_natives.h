// The JDBC connector's own natives: the route stamp of an action's host and database, what a
// search reads of its action in one crossing, whether a request acted on a host before, and the
// column lists of kept searches told to the server by number.
#pragma once

#include <jni.h>

// Binds them on the connector's class (or the superclass that declares them), from its object at
// registration: the module's class loader does not look natives up in this library by name. A
// connector class without them goes the public natives' way.
void BindConnectorNatives(JNIEnv* env, jclass connectorClass);
