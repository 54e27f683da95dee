#include "datasource/JDBCTags.h"

#include <cstring>
#include <string>

#include "bridge/jni_guards.h"
#include "datasource/JavaDataSource.h"
#include "startup/attach.h"

namespace {

struct AdminTag {
  const char16_t* name;
  const char* name8;
  const char16_t* description;
  jint action;  // 0: answered by the module itself
};

// The description of _jdbc_metainfo carries a carriage return between its two sentences.
const AdminTag kAdminTags[] = {
    {u"_jdbc_acceptsurl", "_jdbc_acceptsurl",
     u"Verifies that a JDBC driver can establish connection to the database", 128},
    {u"_jdbc_propertyinfo", "_jdbc_propertyinfo",
     u"Returns various connection properties defined by a JDBC driver", 129},
    {u"_jdbc_driverinfo", "_jdbc_driverinfo", u"Returns various driver properties", 130},
    {u"_jdbc_metainfo", "_jdbc_metainfo",
     u"Returns info about, or executes one of the, DatabaseMetaData methods.\rUsage:[_jdbc_metainfo: -methods] "
     u"or [_jdbc_metainfo: 'method-name', < -params=(array) | -paramtypes<='quill'> | -returntype<='quill'> >]",
     131},
    {u"_jdbc_debug", "_jdbc_debug", u"Turns debugging mode on or off", 0},
    {u"_jdbc_driverclasses", "_jdbc_driverclasses", u"Lists available driver classes for a current datasource",
     133},
    {u"_jdbc_setdriver", "_jdbc_setdriver", u"Chooses a different jdbc driver class", 134},
    {u"_jdbc_deletehost", "_jdbc_deletehost", u"Notifies the datasource that one of its hosts has been deleted",
     135},
};

// The 8-bit (UTF-8) text of a script value.
std::string TextOf(QPExecState* state, Variant* value) {
  if (value == nullptr) return {};
  const std::u16string text = value->GetString(state);
  const CharBuffer utf8(reinterpret_cast<const quill_char*>(text.c_str()), -1, "UTF-8");
  return utf8.c_str();
}

Variant* Param(quill_token token, int32_t index) {
  quill_type handle = 0;
  if (quill_getTagParam2(token, index, &handle) != 0) return nullptr;
  return Variant::FromHandle(handle);
}

JavaDataSource* ConnectorNamed(Request* request, const std::string& name) {
  if (name.empty()) return nullptr;
  ModuleRecord* record = request->GetModuleRecord();
  DataSourceRegistry* registry =
      record != nullptr && record->registry != nullptr ? record->registry : &DataSourceRegistry::Global();
  // The connector as the request's record actions see it, not one a reload registered since.
  auto* source = dynamic_cast<JavaDataSource*>(registry->FindFor(name.c_str(), *request));
  return source != nullptr && source->isConnector ? source : nullptr;
}

}  // namespace

void JDBCTags::Run(CallFrame* frame, Variant* result, Request* request) {
  QPExecState* caller = frame != nullptr ? frame->state : nullptr;
  if (request == nullptr || result == nullptr) return;
  // Built on the tag's state: the Java side reads the tag's parameters through it.
  TExecState state(caller);
  const quill_token token = state.Token();
  int32_t count = 0;
  if (quill_getTagParamCount(token, &count) != 0 || count <= 0) return;

  quill_value_t nameRecord{};
  if (quill_getTagName(token, &nameRecord) != 0 || nameRecord.data == nullptr) return;
  const std::string tagName(nameRecord.data, nameRecord.dataSize);
  const AdminTag* tag = nullptr;
  for (const AdminTag& candidate : kAdminTags) {
    if (strcasecmp(candidate.name8, tagName.c_str()) == 0) tag = &candidate;
  }
  if (tag == nullptr) return;

  JavaDataSource* source = nullptr;
  if (tag->action == 131) {
    source = ConnectorNamed(request, request->GetDataSourceRec().name.c_str());
  } else {
    source = ConnectorNamed(request, TextOf(caller, Param(token, 0)));
  }
  if (source == nullptr) {
    if (tag->action == 128) result->SetBoolean(false);
    return;
  }
  // Everything but the metadata of the action's own connection changes the source, shows how it
  // is set up, or connects where the script says: the source's administrators only. Metadata
  // reaches every database of the source, as listing its databases does.
  const int32_t operation = tag->action == 131 ? QUILL_OP_READ : QUILL_OP_ADMIN;
  if (const osError refused = quill_dataSourceAllowed(token, operation, source->name.c_str())) {
    if (tag->action == 128) result->SetBoolean(false);
    request->SetResultCode(refused);
    return;
  }

  result->Init();
  // Every tag but the three that send no value needs a second parameter; without one nothing
  // reaches Java and the request's result code stays as it was.
  const bool sendsNoValue = tag->action == 130 || tag->action == 131 || tag->action == 133;
  if (!sendsNoValue && count < 2) return;
  osError code = -1;
  {
    JniAttachment attachment(request);
    JNIEnv* env = attachment.env();
    if (env != nullptr) {
      if (tag->action == 0) {
        const Variant* flag = Param(token, 1);
        const bool on = flag != nullptr && flag->GetBool();
        bridge::LocalRef<jclass> cls(env, env->GetObjectClass(source->javaInstance));
        jfieldID field = cls ? env->GetFieldID(cls.get(), "_debugging", "Z") : nullptr;
        if (field != nullptr) {
          env->SetBooleanField(source->javaInstance, field, on ? JNI_TRUE : JNI_FALSE);
          quill_log(2, "JDBC Connector debugging is %s for datasource \"%s\"\n", on ? "ON" : "OFF",
                    source->name.c_str());
        }
        env->ExceptionClear();
      } else if (sendsNoValue) {
        code = source->InvokeJavaAction(env, state, tag->action, nullptr);
      } else {
        Variant* second = Param(token, 1);
        std::string name = TextOf(caller, second);
        std::string data = name;
        if (tag->action == 129) {
          data.clear();
          quill_type first = 0;
          quill_type rest = 0;
          if (second != nullptr && second->GetType() == QUILL_TYPE_PAIR &&
              quill_pairGetFirst(token, second->Handle(), &first) == 0 &&
              quill_pairGetSecond(token, second->Handle(), &rest) == 0) {
            name = TextOf(caller, Variant::FromHandle(first));
            data = TextOf(caller, Variant::FromHandle(rest));
          }
        }
        bridge::LocalRef<jobject> value(
            env, source->NewQuillValue(env, name.c_str(), tag->action == 129 ? data.c_str() : name.c_str(), kTextType));
        code = source->InvokeJavaAction(env, state, tag->action, value.get());
      }
      env->ExceptionDescribe();
      env->ExceptionClear();
    }
  }
  request->SetResultCode(code);
}

void RegisterJDBCTags(TagRegistry* registry) {
  if (registry == nullptr) return;
  for (const AdminTag& tag : kAdminTags) {
    registry->RegTag(reinterpret_cast<const quill_char*>(u""), reinterpret_cast<const quill_char*>(tag.name),
                     new JDBCTags(), reinterpret_cast<const quill_char*>(tag.description), 0);
  }
}
