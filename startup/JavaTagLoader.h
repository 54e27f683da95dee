// Checks the bridge's Java classes, fills the class cache and loads the Java modules.
#pragma once

#include <jni.h>

class TagRegistry;

class JavaTagLoader {
 public:
  explicit JavaTagLoader(JNIEnv* env);
  virtual ~JavaTagLoader() = default;

  // Loads every Java module and then the JDBC connector; every failure is logged.
  void LoadModules(TagRegistry* registry);
  void LoadJdbcConnector(JNIEnv* env);

  JNIEnv* env;
};
