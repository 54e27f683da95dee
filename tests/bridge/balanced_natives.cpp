// The table of natives held to the JNI balance harness.
//
// Adding a native: put one row into kRows below, BALANCED(<its JNI symbol>) (or
// BALANCED_KEEPING_GLOBALS(n, <symbol>) when what it hands the host keeps n global references), and
// one entry into fixtures.NativeWalk.NATIVES, which calls it with null arguments, unbound, with
// a stale token and, prepared, with success. bridge_tests binds the row's counted form in place
// of the native, so every call of it in that program is checked; it fails when the module exports
// a native that has no row here (BalanceCoverage.EveryExportedNativeHasARow) and when a row
// returning an int code was not seen succeeding, refusing an unbound call and refusing a host
// failure (BalanceCoverage.EveryNativeRanEveryPathBalanced). A native without a code to tell
// its paths apart (void, or returning an object) needs a case that calls Counted<&symbol>::Call
// on each path and checks after each call, as RegisterOnEveryPath in bridge_tests.cpp does for
// the registration natives; the coverage check then only asks that it was called.
#include "tests/bridge/balanced_natives.h"

#include <dlfcn.h>

#include <map>
#include <sstream>

#include "com_ferngate_quillpro_QuillCall.h"
#include "com_ferngate_quillpro_QuillLogging.h"
#include "com_ferngate_quillpro_QuillDSModule.h"
#include "com_ferngate_quillpro_QuillTagModule.h"
#include "com_marrowbay_jdbc_JDBCDataSource.h"
#include "com_marrowbay_quillpro_QuillTagModule.h"

namespace jni_balance {
namespace {

#define BALANCED_AS(fn, keeps) \
  BalancedNative { #fn, reinterpret_cast<void*>(&Counted<&fn>::Call), reinterpret_cast<const void*>(&fn), keeps }
#define BALANCED(fn) BALANCED_AS(fn, 0)
#define BALANCED_ON(paths, fn) \
  BalancedNative { #fn, reinterpret_cast<void*>(&Counted<&fn>::Call), reinterpret_cast<const void*>(&fn), 0, paths }
// Natives that read no token.
#define BALANCED_WITHOUT_CALL(fn) BALANCED_ON(kSucceeds | kRefusesHostFailure, fn)
#define BALANCED_KEEPING_GLOBALS(n, fn) BALANCED_AS(fn, n)

const std::vector<BalancedNative> kRows = {
    // request, result and output
    BALANCED(Java_com_ferngate_quillpro_QuillCall_getRequestParam),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_getQuillParam),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_setResultCode),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_setResultMessage),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_outputTagData__Ljava_lang_String_2),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_outputTagData___3B),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_getResultHeader),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_setResultHeader),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_addResultHeader),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_getCookieValue),
    // the running tag
    BALANCED(Java_com_ferngate_quillpro_QuillCall_getTagName),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_getTagParamCount),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_getTagParam),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_tagParamIsDefined),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_findTagParam),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_getTagEncoding),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_getTagParam2),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_findTagParam2),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_getTagSelf),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_childrenRun),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_findTag),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_tagGetReturnType),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_tagSetReturnType),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_tagGetExpectedParamCount),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_tagGetExpectedParam),
    // the tag's value
    // A copy of a value that carries a Java object keeps a clone of it (its type's onassign).
    BALANCED_KEEPING_GLOBALS(1, Java_com_ferngate_quillpro_QuillCall_returnTagValue),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_returnTagValueBoolean),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_returnTagValueInteger),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_returnTagValueDecimal),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_returnTagValueString),
    // variables
    BALANCED(Java_com_ferngate_quillpro_QuillCall_getVariableCount),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_getVariable),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_setVariable),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_removeVariable),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_getVariable2),
    BALANCED_KEEPING_GLOBALS(1, Java_com_ferngate_quillpro_QuillCall_setVariable2),
    // semaphores, formatting, stored data
    BALANCED(Java_com_ferngate_quillpro_QuillCall_createSem),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_destroySem),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_acquireSem),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_releaseSem),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_formatBuffer),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_storeHasData),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_storePutData__Ljava_lang_String_2Ljava_lang_String_2),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_storePutData__Ljava_lang_String_2_3B),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_storeGetData),
    // users and rights
    BALANCED(Java_com_ferngate_quillpro_QuillCall_isAdministrator),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_isAnonymous),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_operationAllowed),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_switchToUser),
    // constants and logging
    BALANCED_WITHOUT_CALL(Java_com_ferngate_quillpro_QuillCall_registerConstant),
    BALANCED_WITHOUT_CALL(Java_com_ferngate_quillpro_QuillCall_registerConstant2),
    BALANCED_WITHOUT_CALL(Java_com_ferngate_quillpro_QuillCall_log),
    BALANCED_WITHOUT_CALL(Java_com_ferngate_quillpro_QuillLogging_setDestination),
    // paths
    BALANCED(Java_com_ferngate_quillpro_QuillCall_getPlatformSpecificPath),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_getInternalPath),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_fullyQualifyPath),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_resolvePath),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_resolveIncludePath),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_internalToFullPlatformPath),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_isFullInternalPath),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_setAutoResolveFullPaths),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_getAutoResolveFullPaths),
    // other services
    BALANCED(Java_com_ferngate_quillpro_QuillCall_includeRaw),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_getSiteID),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_getSiteName),
    BALANCED_ON(kRefusesHostFailure, Java_com_ferngate_quillpro_QuillCall_outputTagDataF),  // always -1
    BALANCED_WITHOUT_CALL(Java_com_ferngate_quillpro_QuillCall_runRequest),
    // script values
    BALANCED(Java_com_ferngate_quillpro_QuillCall_typeAlloc),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_typeAllocNull),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_typeAllocString__Lcom_ferngate_quillpro_QuillTypeRef_2Ljava_lang_String_2),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_typeAllocString__Lcom_ferngate_quillpro_QuillTypeRef_2_3B),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_typeAllocInteger),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_typeAllocDecimal__Lcom_ferngate_quillpro_QuillTypeRef_2D),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_typeAllocDecimal__Lcom_ferngate_quillpro_QuillTypeRef_2DI),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_typeAllocBoolean),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_typeAllocPair),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_typeAllocReference),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_typeAllocArray),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_typeAllocMap__Lcom_ferngate_quillpro_QuillTypeRef_2_3Lcom_ferngate_quillpro_QuillTypeRef_2),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_typeAllocMap__Lcom_ferngate_quillpro_QuillTypeRef_2_3Lcom_ferngate_quillpro_QuillTypeRef_2_3Lcom_ferngate_quillpro_QuillTypeRef_2),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_typeAllocTagFromSource),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_typeAllocCustom),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_typeAllocFromProto),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_typeAllocOneOff),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_typeFree),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_typeCollect),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_typeDetach),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_typeAssign),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_typeInheritFrom),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_typeStealValue),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_typeGetParent),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_typeGetChild),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_typeGetProperties),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_typeGetMember),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_typeIsA__Lcom_ferngate_quillpro_QuillTypeRef_2Ljava_lang_String_2),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_typeIsA__Lcom_ferngate_quillpro_QuillTypeRef_2Lcom_ferngate_quillpro_QuillTypeRef_2),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_typeRunTag__Lcom_ferngate_quillpro_QuillTypeRef_2Ljava_lang_String_2_3Lcom_ferngate_quillpro_QuillTypeRef_2Lcom_ferngate_quillpro_QuillTypeRef_2Lcom_ferngate_quillpro_QuillTypeRef_2),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_typeRunTag__Lcom_ferngate_quillpro_QuillTypeRef_2Ljava_lang_String_2Lcom_ferngate_quillpro_QuillTypeRef_2Lcom_ferngate_quillpro_QuillTypeRef_2Lcom_ferngate_quillpro_QuillTypeRef_2),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_typeGetString),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_typeGetStringConv),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_typeGetName),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_typeGetBytes),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_typeGetInteger),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_typeGetDecimal),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_typeGetCustomPtr),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_typeSetString),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_typeAppendString),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_typeSetStringConv),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_typeSetBytes),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_typeSetInteger),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_typeSetDecimal__Lcom_ferngate_quillpro_QuillTypeRef_2D),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_typeSetDecimal__Lcom_ferngate_quillpro_QuillTypeRef_2DI),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_typeSetBoolean),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_typeSetCustomPtr),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_arrayGetSize),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_arrayGetElement),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_arraySetElement),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_arrayRemoveElement),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_mapGetSize),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_mapFindElement),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_mapGetElement),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_mapSetElement),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_mapRemoveElement),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_pairGetFirst),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_pairGetSecond),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_pairSetFirst),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_pairSetSecond),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_handleExternalConversion),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_handleInternalConversion),
    // Java objects carried by values and Java member tags: an object stored or a class kept for a
    // member holds one global reference; freeing an object releases one.
    BALANCED_KEEPING_GLOBALS(1, Java_com_ferngate_quillpro_QuillCall_typeSetCustomJavaObject),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_typeGetCustomJavaObject),
    BALANCED_KEEPING_GLOBALS(-1, Java_com_ferngate_quillpro_QuillCall_typeFreeCustomJavaObject),
    BALANCED_KEEPING_GLOBALS(1, Java_com_ferngate_quillpro_QuillCall_typeAllocTag),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_typeAddMember),
    BALANCED_KEEPING_GLOBALS(1, Java_com_ferngate_quillpro_QuillCall_typeAddMemberTag),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_typeSetFlag),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_typeHasFlag),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_typeClearFlag),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_tagSetFlag),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_tagHasFlag),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_tagClearFlag),
    // data-source actions
    BALANCED(Java_com_ferngate_quillpro_QuillCall_getDataSourceName),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_getSchemaName),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_getTableName),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_getDataHostID),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_getDataHost__Lcom_ferngate_quillpro_QuillValue_2Lcom_ferngate_quillpro_QuillValue_2),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_getDataHost__Lcom_ferngate_quillpro_QuillValue_2Lcom_ferngate_quillpro_QuillValue_2Lcom_ferngate_quillpro_QuillValue_2),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_getSkipRows),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_getMaxRows),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_getRowID),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_setRowID),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_getPrimaryKeyColumn),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_getInputColumnCount),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_getInputColumn),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_findInputColumn),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_getLogicalOp),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_getSortColumnCount),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_getSortColumn),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_getReturnColumnCount),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_getReturnColumn),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_getDataSourceModuleName),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_getIsStatementOnly),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_getDSConnection),
    // the connection slot keeps the reference it is given
    BALANCED_KEEPING_GLOBALS(1, Java_com_ferngate_quillpro_QuillCall_setDSConnection),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_addDataSourceResult),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_addColumnInfo),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_addColumnInfo2),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_addResultRow___3Ljava_lang_String_2),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_addResultRow___3_3B),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_addResultRows),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_setNumRowsFound),
    BALANCED(Java_com_ferngate_quillpro_QuillCall_setActionStatement),
    // a registered data source keeps its Java object
    BALANCED_KEEPING_GLOBALS(1, Java_com_ferngate_quillpro_QuillDSModule_registerDSModule),
    // a registered connector data source keeps the registering object
    BALANCED_KEEPING_GLOBALS(1, Java_com_marrowbay_jdbc_JDBCDataSource_registerJDBCModule),
    // registration: a registered tag keeps its module instance and class by global references
    BALANCED_KEEPING_GLOBALS(2, Java_com_ferngate_quillpro_QuillTagModule_registerTagModule),
    BALANCED_KEEPING_GLOBALS(2, Java_com_marrowbay_quillpro_QuillTagModule_registerTagModule),
    // the internal database
    BALANCED(Java_com_marrowbay_jdbc_JDBCDataSource_StoreManExecute),
};

struct Declared {
  std::string className, method, signature, shortSymbol, longSymbol;
};

std::vector<Declared> DeclaredNatives(JNIEnv* env, const std::string& bridgeJar, std::vector<std::string>& problems) {
  std::vector<Declared> declared;
  env->PushLocalFrame(16);
  jclass inventory = env->FindClass("fixtures/NativeInventory");
  jmethodID list = inventory != nullptr
                       ? env->GetStaticMethodID(inventory, "declared", "(Ljava/lang/String;)[Ljava/lang/String;")
                       : nullptr;
  auto lines = list != nullptr ? static_cast<jobjectArray>(env->CallStaticObjectMethod(
                                     inventory, list, env->NewStringUTF(bridgeJar.c_str())))
                               : nullptr;
  if (env->ExceptionCheck() || lines == nullptr) {
    env->ExceptionDescribe();
    problems.push_back("the natives declared in " + bridgeJar + " could not be listed");
  } else {
    for (jsize i = 0, n = env->GetArrayLength(lines); i < n; ++i) {
      auto line = static_cast<jstring>(env->GetObjectArrayElement(lines, i));
      const char* text = env->GetStringUTFChars(line, nullptr);
      Declared d;
      std::istringstream(text) >> d.className >> d.method >> d.signature >> d.shortSymbol >> d.longSymbol;
      env->ReleaseStringUTFChars(line, text);
      env->DeleteLocalRef(line);
      declared.push_back(std::move(d));
    }
  }
  env->PopLocalFrame(nullptr);
  return declared;
}

}  // namespace

const std::vector<BalancedNative>& BalancedNatives() { return kRows; }

std::vector<std::string> BindCountedNatives(JNIEnv* env, const std::string& bridgeJar, void* module) {
  std::vector<std::string> problems;
  const std::vector<Declared> declared = DeclaredNatives(env, bridgeJar, problems);
  std::map<std::string, const BalancedNative*> rows;
  for (const BalancedNative& row : kRows) rows[row.symbol] = &row;

  for (const Declared& d : declared) {
    const BalancedNative* row = rows.count(d.shortSymbol) ? rows[d.shortSymbol]
                                : rows.count(d.longSymbol) ? rows[d.longSymbol]
                                                           : nullptr;
    if (row == nullptr) {
      if (dlsym(module, d.shortSymbol.c_str()) != nullptr || dlsym(module, d.longSymbol.c_str()) != nullptr) {
        problems.push_back("the module exports " + d.className + "." + d.method + d.signature +
                           " but the balance table has no row for it");
      }
      continue;
    }
    rows.erase(row->symbol);
    // Overloads are told apart by their arguments; classes by their package.
    std::string name = d.className + "." + d.method;
    if (row->symbol == d.longSymbol) name += d.signature.substr(0, d.signature.find(')') + 1);
    for (char& c : name) c = c == '/' ? '.' : c;
    NameNative(row->native, std::move(name), row->keeps);
    env->PushLocalFrame(4);
    jclass owner = env->FindClass(d.className.c_str());
    const JNINativeMethod method{const_cast<char*>(d.method.c_str()), const_cast<char*>(d.signature.c_str()),
                                 row->counted};
    if (owner == nullptr || env->RegisterNatives(owner, &method, 1) != JNI_OK) {
      env->ExceptionDescribe();
      problems.push_back(std::string("the counted form of ") + row->symbol + " could not be bound");
    }
    env->PopLocalFrame(nullptr);
  }
  for (const auto& [symbol, row] : rows) {
    problems.push_back(symbol + " has a row in the balance table but no class in " + bridgeJar + " declares it");
  }
  return problems;
}

}  // namespace jni_balance
