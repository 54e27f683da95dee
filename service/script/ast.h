// The syntax tree of a script. Nodes are immutable once parsed (but for what call sites keep of
// their lookups, in atomics), so one parsed program can run in many requests on many threads at once.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "service/values/tag_definition.h"
#include "service/values/tag_table.h"
#include "service/values/variant_data.h"

namespace quill_script {

struct Location {
  int line = 0;
  int column = 0;
};

struct Exec;
class Val;
struct BinaryExpr;
struct MemberExpr;

enum class Flow { Next, Return };

struct Expr;
using ExprPtr = std::unique_ptr<Expr>;

// Operator and member chains nest to the left as deep as they are long (`1+1+...` with 50,000
// terms is a tree 50,000 deep), so nodes that own sub-expressions are taken apart iteratively:
// each such node's destructor hands its children to DismantleChildren, which empties them one
// level at a time instead of recursing.
struct Expr {
  Location loc;
  virtual ~Expr() = default;
  virtual Val Eval(Exec& ex) const = 0;
  // Chains are evaluated along their left spine without recursing.
  virtual const BinaryExpr* AsBinary() const { return nullptr; }
  virtual const MemberExpr* AsMember() const { return nullptr; }
  // The value of a literal, which evaluating would copy; null for every other expression.
  virtual const Variant* Constant() const { return nullptr; }
  // Evaluates the expression and writes its value's text to the output.
  virtual void Emit(Exec& ex) const;
  // The value this expression names in place, for assignment: a variable, an element or member
  // of one, or self. Null for expressions that only compute a value. With create, a missing map
  // key or custom member is made (null) so that it can be assigned.
  virtual Variant* Place(Exec&, bool /*create*/) const { return nullptr; }

 protected:
  // Moves the sub-expressions this node owns into out.
  virtual void TakeChildren(std::vector<ExprPtr>&) {}
  // Destroys the sub-expressions below this node without recursing; for destructors.
  void DismantleChildren() noexcept;
};

struct DefineStmt;

struct Stmt {
  Location loc;
  virtual ~Stmt() = default;
  virtual Flow Run(Exec& ex) const = 0;
  // A definition, which a program makes before its first statement runs.
  virtual const DefineStmt* AsDefine() const { return nullptr; }
};
using StmtPtr = std::unique_ptr<Stmt>;

struct Block {
  Location loc;  // its opening brace; the start of the file for a program's top level
  std::vector<StmtPtr> statements;
};
using BlockPtr = std::shared_ptr<const Block>;

// A parameter of a call: positional (empty name) or named (`-name=value`; `-name` alone is true).
struct Arg {
  Location loc;
  std::u16string name;
  ExprPtr value;
};

// ---- expressions ----

struct LiteralExpr : Expr {
  quill_service::VariantPtr value;
  Val Eval(Exec& ex) const override;
  const Variant* Constant() const override { return value.get(); }
};

struct VariableExpr : Expr {
  std::u16string name;
  Val Eval(Exec& ex) const override;
  Variant* Place(Exec& ex, bool create) const override;
};

// `self`: the value a member tag runs on.
struct SelfExpr : Expr {
  Val Eval(Exec& ex) const override;
  Variant* Place(Exec& ex, bool create) const override;
};

// `{key: value, ...}`
struct MapExpr : Expr {
  std::vector<std::pair<ExprPtr, ExprPtr>> entries;
  ~MapExpr() override { DismantleChildren(); }
  Val Eval(Exec& ex) const override;

 protected:
  void TakeChildren(std::vector<ExprPtr>& out) override;
};

// `(first, second)`
struct PairExpr : Expr {
  ExprPtr first, second;
  ~PairExpr() override { DismantleChildren(); }
  Val Eval(Exec& ex) const override;

 protected:
  void TakeChildren(std::vector<ExprPtr>& out) override;
};

// `target[index]` (arrays from 0, maps by key, pairs 0 and 1) and `target.name` (members of
// custom values, keys of maps): `name` set and `index` null for the second form.
struct ElementExpr : Expr {
  ExprPtr target;
  ExprPtr index;
  std::u16string name;
  ~ElementExpr() override { DismantleChildren(); }
  Val Eval(Exec& ex) const override;
  Variant* Place(Exec& ex, bool create) const override;

 protected:
  void TakeChildren(std::vector<ExprPtr>& out) override;
};

struct ArrayExpr : Expr {
  std::vector<ExprPtr> items;
  ~ArrayExpr() override { DismantleChildren(); }
  Val Eval(Exec& ex) const override;

 protected:
  void TakeChildren(std::vector<ExprPtr>& out) override;
};

// `name(args) => { body }`: parameters and body are optional.
struct CallExpr : Expr {
  std::u16string name;
  std::u16string folded;  // the lookup key
  std::vector<Arg> args;
  BlockPtr body;
  // The tag table's entry of the name, kept by the first call that finds it: calls from then on
  // read the tag from it, in any request on any thread, without looking the name up.
  mutable std::atomic<const TagTable::Entry*> entry{nullptr};
  ~CallExpr() override { DismantleChildren(); }
  Val Eval(Exec& ex) const override;
  void Emit(Exec& ex) const override;
  // Runs the call with its result in into, or in a value of its own that it gives back; with
  // output, the tag may write its text there instead.
  quill_service::VariantPtr Run(Exec& ex, Variant* into, std::string* output = nullptr) const;

 protected:
  void TakeChildren(std::vector<ExprPtr>& out) override;
};

struct PreparedCall;

// `target->name(args) => { body }`
struct MemberExpr : Expr {
  ExprPtr target;
  std::u16string name;
  std::u16string folded;
  std::vector<Arg> args;
  BlockPtr body;
  ~MemberExpr() override { DismantleChildren(); }
  Val Eval(Exec& ex) const override;
  const MemberExpr* AsMember() const override { return this; }
  // Runs the member on the target's value; the call's arguments are already evaluated.
  Val Call(Exec& ex, PreparedCall& prepared, Val owner) const;

 protected:
  void TakeChildren(std::vector<ExprPtr>& out) override;
};

enum class Op { Add, Sub, Mul, Div, Mod, Eq, Ne, Lt, Le, Gt, Ge, And, Or, Not, Neg };

struct BinaryExpr : Expr {
  Op op;
  ExprPtr left, right;
  ~BinaryExpr() override { DismantleChildren(); }
  Val Eval(Exec& ex) const override;
  const BinaryExpr* AsBinary() const override { return this; }
  // The operation on the left operand's value; evaluates the right operand as needed.
  Val Apply(Exec& ex, Val leftValue) const;

 protected:
  void TakeChildren(std::vector<ExprPtr>& out) override;
};

struct UnaryExpr : Expr {
  Op op;
  ExprPtr operand;
  ~UnaryExpr() override { DismantleChildren(); }
  Val Eval(Exec& ex) const override;

 protected:
  void TakeChildren(std::vector<ExprPtr>& out) override;
};

// ---- statements ----

// A bare expression: its value's text goes to the output.
struct ExprStmt : Stmt {
  ExprPtr expr;
  Flow Run(Exec& ex) const override;
};

// `var name = value` (local) or `global name = value`.
struct VarStmt : Stmt {
  bool global = false;
  std::u16string name;
  ExprPtr value;  // null: the variable is null
  Flow Run(Exec& ex) const override;
};

// `$name = value`
struct AssignStmt : Stmt {
  std::u16string name;
  ExprPtr value;
  Flow Run(Exec& ex) const override;
};

// `$a[i] = value`, `$p.x = value`, `self.x = value`: assignment into a place.
struct PlaceAssignStmt : Stmt {
  ExprPtr target;
  ExprPtr value;
  Flow Run(Exec& ex) const override;
};

struct IfStmt : Stmt {
  std::vector<std::pair<ExprPtr, BlockPtr>> branches;
  BlockPtr otherwise;  // may be null
  Flow Run(Exec& ex) const override;
};

struct WhileStmt : Stmt {
  ExprPtr condition;
  BlockPtr body;
  Flow Run(Exec& ex) const override;
};

struct ReturnStmt : Stmt {
  ExprPtr value;  // may be null
  Flow Run(Exec& ex) const override;
};

// `try => { } catch => { }`; `protect => { }` is a try without a handler.
struct TryStmt : Stmt {
  BlockPtr body;
  BlockPtr handler;  // null: errors are dropped
  Flow Run(Exec& ex) const override;
};

struct ParamDecl {
  std::u16string name;
  std::u16string type;  // empty: any
  ExprPtr defaultValue;  // null: required
};

// The body of a `define tag`, as the tag definition carries it.
struct ScriptTag : quill_service::ScriptTagBody {
  std::vector<ParamDecl> params;
  BlockPtr block;
  // A tag compiled from source text declares nothing: it takes any parameters, named ones as
  // locals of their name and positional ones in the local array $params.
  bool anyParams = false;
};

// `define type name(members) : parent => { define tag ... }`: the constructor tag's body.
struct ScriptType : quill_service::ScriptTagBody {
  std::u16string name;
  std::u16string parent;  // folded; empty: none
  std::vector<ParamDecl> members;
  std::vector<std::shared_ptr<const quill_service::TagDefinition>> tags;
};

struct DefineStmt : Stmt {
  std::shared_ptr<const quill_service::TagDefinition> tag;
  std::u16string folded;
  Flow Run(Exec& ex) const override;
  const DefineStmt* AsDefine() const override { return this; }
};

struct Program {
  std::string fileName;
  Block block;
};

}  // namespace quill_script
