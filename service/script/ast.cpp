#include "service/script/ast.h"

namespace quill_script {

namespace {

void TakeArgs(std::vector<Arg>& args, std::vector<ExprPtr>& out) {
  for (Arg& arg : args) {
    if (arg.value) out.push_back(std::move(arg.value));
  }
}

}  // namespace

void Expr::DismantleChildren() noexcept {
  std::vector<ExprPtr> pending;
  try {
    TakeChildren(pending);
    while (!pending.empty()) {
      ExprPtr node = std::move(pending.back());
      pending.pop_back();
      node->TakeChildren(pending);
      // node dies here with no sub-expressions left, so its destructor does not descend.
    }
  } catch (...) {
    // Out of memory for the work list: what is left is destroyed the ordinary way.
  }
}

void ArrayExpr::TakeChildren(std::vector<ExprPtr>& out) {
  for (ExprPtr& item : items) {
    if (item) out.push_back(std::move(item));
  }
}

void MapExpr::TakeChildren(std::vector<ExprPtr>& out) {
  for (auto& [key, value] : entries) {
    if (key) out.push_back(std::move(key));
    if (value) out.push_back(std::move(value));
  }
}

void PairExpr::TakeChildren(std::vector<ExprPtr>& out) {
  if (first) out.push_back(std::move(first));
  if (second) out.push_back(std::move(second));
}

void ElementExpr::TakeChildren(std::vector<ExprPtr>& out) {
  if (target) out.push_back(std::move(target));
  if (index) out.push_back(std::move(index));
}

void CallExpr::TakeChildren(std::vector<ExprPtr>& out) { TakeArgs(args, out); }

void MemberExpr::TakeChildren(std::vector<ExprPtr>& out) {
  if (target) out.push_back(std::move(target));
  TakeArgs(args, out);
}

void BinaryExpr::TakeChildren(std::vector<ExprPtr>& out) {
  if (left) out.push_back(std::move(left));
  if (right) out.push_back(std::move(right));
}

void UnaryExpr::TakeChildren(std::vector<ExprPtr>& out) {
  if (operand) out.push_back(std::move(operand));
}

}  // namespace quill_script
