#include "service/script/parser.h"

#include <charconv>
#include <cstring>
#include <unordered_set>

#include "service/core/stack.h"
#include "service/values/text.h"

namespace quill_script {
namespace {

using quill_service::FoldCase;
using quill_service::MakeVariant;
using quill_service::Utf8ToUtf16;

// Deeper nesting than this is refused: the parser and the interpreter recurse once per level.
// (Operator and member chains are loops in both, so their length is not nesting.)
constexpr int kMaxNesting = 200;

enum class Kind { Ident, Variable, Integer, Decimal, String, Punct, End };

struct Token {
  Kind kind;
  Location loc;
  std::string text;     // the source text (identifiers, punctuation, numbers)
  std::u16string str;   // string literals, identifier and variable names
  int64_t integer = 0;
  double decimal = 0;
  bool spaced = false;  // white space or a comment comes before it
};

bool IsIdentStart(unsigned char c) { return std::isalpha(c) || c == '_' || c >= 0x80; }
bool IsIdentPart(unsigned char c) { return IsIdentStart(c) || std::isdigit(c); }

class Lexer {
 public:
  explicit Lexer(const std::string& source) : src_(source) {
    if (src_.compare(0, 3, "\xEF\xBB\xBF") == 0) pos_ = 3;  // byte-order mark
  }

  std::vector<Token> Run() {
    std::vector<Token> tokens;
    for (;;) {
      const size_t before = pos_;
      SkipSpaceAndComments();
      Token token;
      token.spaced = pos_ != before;
      token.loc = Here();
      if (pos_ >= src_.size()) {
        token.kind = Kind::End;
        tokens.push_back(std::move(token));
        return tokens;
      }
      const unsigned char c = src_[pos_];
      if (c == '$') {
        Advance();
        if (pos_ >= src_.size() || !IsIdentStart(src_[pos_])) throw ParseError("expected a variable name after '$'", token.loc);
        token.kind = Kind::Variable;
        token.text = "$" + ReadIdent();
        token.str = Utf8ToUtf16(token.text.substr(1));
      } else if (IsIdentStart(c)) {
        token.kind = Kind::Ident;
        token.text = ReadIdent();
        token.str = Utf8ToUtf16(token.text);
      } else if (std::isdigit(c)) {
        ReadNumber(token);
      } else if (c == '\'' || c == '"') {
        token.kind = Kind::String;
        token.str = ReadString(token.loc);
        token.text = "string";
      } else {
        token.kind = Kind::Punct;
        token.text = ReadPunct(token.loc);
      }
      tokens.push_back(std::move(token));
    }
  }

 private:
  Location Here() const { return {line_, column_}; }

  void Advance() {
    const unsigned char c = src_[pos_++];
    if (c == '\n') {
      ++line_;
      column_ = 1;
    } else if ((c & 0xC0) != 0x80) {
      ++column_;  // columns count characters, not bytes
    }
  }

  bool At(const char* text) const { return src_.compare(pos_, std::strlen(text), text) == 0; }

  void SkipSpaceAndComments() {
    while (pos_ < src_.size()) {
      const unsigned char c = src_[pos_];
      if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
        Advance();
      } else if (At("//")) {
        while (pos_ < src_.size() && src_[pos_] != '\n') Advance();
      } else if (At("/*")) {
        const Location start = Here();
        Advance();
        Advance();
        while (pos_ < src_.size() && !At("*/")) Advance();
        if (pos_ >= src_.size()) throw ParseError("unterminated comment", start);
        Advance();
        Advance();
      } else {
        return;
      }
    }
  }

  std::string ReadIdent() {
    const size_t start = pos_;
    while (pos_ < src_.size() && IsIdentPart(src_[pos_])) Advance();
    return src_.substr(start, pos_ - start);
  }

  void ReadNumber(Token& token) {
    const size_t start = pos_;
    bool decimal = false;
    while (pos_ < src_.size() && std::isdigit(static_cast<unsigned char>(src_[pos_]))) Advance();
    if (pos_ + 1 < src_.size() && src_[pos_] == '.' && std::isdigit(static_cast<unsigned char>(src_[pos_ + 1]))) {
      decimal = true;
      Advance();
      while (pos_ < src_.size() && std::isdigit(static_cast<unsigned char>(src_[pos_]))) Advance();
    }
    if (pos_ < src_.size() && (src_[pos_] == 'e' || src_[pos_] == 'E')) {
      size_t look = pos_ + 1;
      if (look < src_.size() && (src_[look] == '+' || src_[look] == '-')) ++look;
      if (look < src_.size() && std::isdigit(static_cast<unsigned char>(src_[look]))) {
        decimal = true;
        while (pos_ < look) Advance();
        while (pos_ < src_.size() && std::isdigit(static_cast<unsigned char>(src_[pos_]))) Advance();
      }
    }
    if (pos_ < src_.size() && IsIdentStart(src_[pos_])) throw ParseError("malformed number", token.loc);
    token.text = src_.substr(start, pos_ - start);
    const char* first = token.text.data();
    const char* last = first + token.text.size();
    if (decimal) {
      token.kind = Kind::Decimal;
      auto [end, ec] = std::from_chars(first, last, token.decimal);
      if (ec != std::errc() || end != last) throw ParseError("decimal literal out of range", token.loc);
    } else {
      token.kind = Kind::Integer;
      auto [end, ec] = std::from_chars(first, last, token.integer);
      if (ec != std::errc() || end != last) throw ParseError("integer literal out of range", token.loc);
    }
  }

  int HexDigit(Location loc) {
    if (pos_ >= src_.size()) throw ParseError("unterminated string", loc);
    const char c = src_[pos_];
    Advance();
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    throw ParseError("malformed \\u escape", loc);
  }

  std::u16string ReadString(Location start) {
    const char quote = src_[pos_];
    Advance();
    std::string bytes;
    std::u16string out;
    auto flush = [&] {
      out += Utf8ToUtf16(bytes);
      bytes.clear();
    };
    for (;;) {
      if (pos_ >= src_.size()) throw ParseError("unterminated string", start);
      const char c = src_[pos_];
      if (c == quote) {
        Advance();
        break;
      }
      if (c != '\\') {
        bytes += c;
        Advance();
        continue;
      }
      const Location escape = Here();
      Advance();
      if (pos_ >= src_.size()) throw ParseError("unterminated string", start);
      const char e = src_[pos_];
      Advance();
      switch (e) {
        case 'n': bytes += '\n'; break;
        case 't': bytes += '\t'; break;
        case 'r': bytes += '\r'; break;
        case '0': bytes += '\0'; break;
        case '\\': bytes += '\\'; break;
        case '\'': bytes += '\''; break;
        case '"': bytes += '"'; break;
        case 'u': {
          flush();
          int unit = 0;
          for (int i = 0; i < 4; ++i) unit = unit * 16 + HexDigit(escape);
          out += static_cast<char16_t>(unit);
          break;
        }
        default: throw ParseError(std::string("unknown escape '\\") + e + "'", escape);
      }
    }
    flush();
    return out;
  }

  std::string ReadPunct(Location loc) {
    static const char* const kTwo[] = {"=>", "->", "::", "==", "!=", "<=", ">=", "&&", "||"};
    for (const char* p : kTwo) {
      if (At(p)) {
        Advance();
        Advance();
        return p;
      }
    }
    const char c = src_[pos_];
    if (std::strchr("(){}[],=<>+-*/%!;:.", c) != nullptr && c != '\0') {
      Advance();
      return std::string(1, c);
    }
    // Name the whole character, not one byte of it.
    size_t length = 1;
    while (pos_ + length < src_.size() && (static_cast<unsigned char>(src_[pos_ + length]) & 0xC0) == 0x80) ++length;
    throw ParseError("unexpected character '" + src_.substr(pos_, length) + "'", loc);
  }

  const std::string& src_;
  size_t pos_ = 0;
  int line_ = 1;
  int column_ = 1;
};

const std::unordered_set<std::string> kKeywords = {"var",    "global", "if",   "else",  "while", "return", "define",
                                                   "try",    "catch",  "protect", "true", "false", "null",
                                                   "self"};

class Parser {
 public:
  Parser(std::vector<Token> tokens) : tokens_(std::move(tokens)), stackFloor_(quill_service::StackFloor()) {}

  void ParseProgram(Block& block) {
    while (Peek().kind != Kind::End) block.statements.push_back(Statement());
  }

 private:
  // Guards recursion depth for one nested construct.
  struct Nest {
    Nest(Parser& p, Location loc) : parser(p) {
      if (parser.depth_ >= kMaxNesting) throw ParseError("nesting too deep", loc);
      if (quill_service::StackPosition() < parser.stackFloor_) throw ParseError("nesting too deep for this thread's stack", loc);
      ++parser.depth_;
    }
    ~Nest() { --parser.depth_; }
    Parser& parser;
  };

  const Token& Peek(size_t ahead = 0) const {
    const size_t i = std::min(pos_ + ahead, tokens_.size() - 1);
    return tokens_[i];
  }
  const Token& Next() {
    const Token& t = tokens_[pos_];
    if (pos_ + 1 < tokens_.size()) ++pos_;
    return t;
  }
  bool IsPunct(const char* text, size_t ahead = 0) const {
    const Token& t = Peek(ahead);
    return t.kind == Kind::Punct && t.text == text;
  }
  bool IsWord(const char* word, size_t ahead = 0) const {
    const Token& t = Peek(ahead);
    return t.kind == Kind::Ident && t.text == word;
  }
  bool Accept(const char* text) {
    if (!IsPunct(text)) return false;
    Next();
    return true;
  }

  static std::string Describe(const Token& t) {
    switch (t.kind) {
      case Kind::End: return "end of file";
      case Kind::String: return "a string";
      default: return "'" + t.text + "'";
    }
  }

  [[noreturn]] void Expected(const std::string& what) const {
    throw ParseError("expected " + what + ", found " + Describe(Peek()), Peek().loc);
  }

  void Expect(const char* text) {
    if (!Accept(text)) Expected(std::string("'") + text + "'");
  }

  std::u16string ExpectName(const char* what) {
    const Token& t = Peek();
    if (t.kind != Kind::Ident || kKeywords.count(t.text)) Expected(what);
    return Next().str;
  }

  template <class T>
  std::unique_ptr<T> Node(Location loc) {
    auto node = std::make_unique<T>();
    node->loc = loc;
    return node;
  }

  BlockPtr ParseBlock() {
    Nest nest(*this, Peek().loc);
    auto block = std::make_shared<Block>();
    block->loc = Peek().loc;
    Expect("{");
    while (!IsPunct("}")) {
      if (Peek().kind == Kind::End) Expected("'}'");
      block->statements.push_back(Statement());
    }
    Next();
    return block;
  }

  // `=> { ... }` or just `{ ... }` where a block must follow.
  BlockPtr ArrowBlock() {
    Accept("=>");
    return ParseBlock();
  }

  StmtPtr Statement() {
    StmtPtr stmt = StatementBody();
    while (Accept(";")) {
    }
    return stmt;
  }

  StmtPtr StatementBody() {
    const Token& t = Peek();
    const Location loc = t.loc;
    if (t.kind == Kind::Ident) {
      if (t.text == "var" || t.text == "global") {
        auto stmt = Node<VarStmt>(loc);
        stmt->global = Next().text == "global";
        stmt->name = ExpectName("a variable name");
        if (Accept("=")) stmt->value = Expression();
        return stmt;
      }
      if (t.text == "if") return IfStatement();
      if (t.text == "while") {
        Next();
        auto stmt = Node<WhileStmt>(loc);
        Expect("(");
        stmt->condition = Expression();
        Expect(")");
        stmt->body = ParseBlock();
        return stmt;
      }
      if (t.text == "return") {
        Next();
        auto stmt = Node<ReturnStmt>(loc);
        if (!IsPunct("}") && !IsPunct(";") && Peek().kind != Kind::End) stmt->value = Expression();
        return stmt;
      }
      if (t.text == "define") return DefineStatement();
      if (t.text == "try" || t.text == "protect") {
        const bool protect = Next().text == "protect";
        auto stmt = Node<TryStmt>(loc);
        stmt->body = ArrowBlock();
        if (!protect) {
          if (!IsWord("catch")) Expected("'catch'");
          Next();
          stmt->handler = ArrowBlock();
        }
        return stmt;
      }
      if (t.text == "else" || t.text == "catch") throw ParseError("'" + t.text + "' without a matching '" + (t.text == "else" ? "if" : "try") + "'", loc);
    }
    if (t.kind == Kind::Variable && IsPunct("=", 1)) {
      auto stmt = Node<AssignStmt>(loc);
      stmt->name = Next().str;
      Next();
      stmt->value = Expression();
      return stmt;
    }
    if (t.kind == Kind::Variable || IsWord("self")) {
      // `$a[i] = v`, `self.x = v`: read the place, then decide; anything else is re-read as an
      // expression.
      const size_t start = pos_;
      ExprPtr target = Postfix();
      if (IsPunct("=") && dynamic_cast<const ElementExpr*>(target.get()) != nullptr) {
        auto stmt = Node<PlaceAssignStmt>(Next().loc);
        stmt->target = std::move(target);
        stmt->value = Expression();
        return stmt;
      }
      pos_ = start;
    }
    auto stmt = Node<ExprStmt>(loc);
    stmt->expr = Expression();
    return stmt;
  }

  StmtPtr IfStatement() {
    auto stmt = Node<IfStmt>(Peek().loc);
    for (;;) {
      Next();  // `if`
      Expect("(");
      ExprPtr condition = Expression();
      Expect(")");
      stmt->branches.emplace_back(std::move(condition), ParseBlock());
      if (!IsWord("else")) break;
      Next();
      if (!IsWord("if")) {
        stmt->otherwise = ParseBlock();
        break;
      }
    }
    return stmt;
  }

  // `(-name::type = default, ...)`, optional; what describes a tag's or a type's parameters.
  void ParamList(std::vector<ParamDecl>& params, quill_service::TagDefinition& definition) {
    if (!Accept("(")) return;
    if (!IsPunct(")")) {
      do {
        ParamDecl param;
        Accept("-");
        param.name = ExpectName("a parameter name");
        for (const auto& other : params) {
          if (quill_service::EqualsIgnoreCase(other.name, param.name)) {
            throw ParseError("parameter -" + quill_service::Utf16ToUtf8(param.name) + " declared twice", Peek().loc);
          }
        }
        if (Accept("::")) param.type = TypeName();
        if (Accept("=")) param.defaultValue = Expression();
        definition.params.push_back({param.name, param.type, param.defaultValue == nullptr});
        params.push_back(std::move(param));
      } while (Accept(","));
    }
    Expect(")");
  }

  StmtPtr DefineStatement() {
    const Location loc = Next().loc;  // `define`
    if (IsWord("type")) return DefineType(loc);
    if (!IsWord("tag")) Expected("'tag' or 'type'");
    Next();
    auto definition = std::make_shared<quill_service::TagDefinition>();
    auto body = std::make_shared<ScriptTag>();
    definition->name = ExpectName("a tag name");
    ParamList(body->params, *definition);
    if (Accept("::")) definition->returnType = TypeName();
    body->block = ArrowBlock();
    definition->script = body;
    auto stmt = Node<DefineStmt>(loc);
    stmt->folded = FoldCase(definition->name);
    stmt->tag = std::move(definition);
    return stmt;
  }

  // The type's constructor is a tag of the type's name; its parameters are the data members.
  StmtPtr DefineType(Location loc) {
    Next();  // `type`
    auto definition = std::make_shared<quill_service::TagDefinition>();
    auto body = std::make_shared<ScriptType>();
    definition->name = body->name = ExpectName("a type name");
    definition->returnType = body->name;
    ParamList(body->members, *definition);
    if (Accept(":")) body->parent = FoldCase(ExpectName("a parent type name"));
    if (IsPunct("=>") || IsPunct("{")) {
      BlockPtr block = ArrowBlock();
      for (const auto& stmt : block->statements) {
        auto* define = dynamic_cast<const DefineStmt*>(stmt.get());
        if (define == nullptr) throw ParseError("a type's block holds only 'define tag'", stmt->loc);
        body->tags.push_back(define->tag);
      }
    }
    definition->script = body;
    auto stmt = Node<DefineStmt>(loc);
    stmt->folded = FoldCase(definition->name);
    stmt->tag = std::move(definition);
    return stmt;
  }

  std::u16string TypeName() {
    const Token& t = Peek();
    // Type names may be words that are otherwise keywords (null).
    if (t.kind != Kind::Ident) Expected("a type name");
    return Next().str;
  }

  // ---- expressions, loosest binding first ----

  ExprPtr Expression() {
    Nest nest(*this, Peek().loc);
    return Binary(0);
  }

  struct Level {
    const char* ops[4];
    Op codes[4];
  };

  static const Level* Levels() {
    static const Level levels[] = {
        {{"||"}, {Op::Or}},
        {{"&&"}, {Op::And}},
        {{"==", "!="}, {Op::Eq, Op::Ne}},
        {{"<", "<=", ">", ">="}, {Op::Lt, Op::Le, Op::Gt, Op::Ge}},
        {{"+", "-"}, {Op::Add, Op::Sub}},
        {{"*", "/", "%"}, {Op::Mul, Op::Div, Op::Mod}},
    };
    return levels;
  }
  static constexpr int kLevels = 6;

  ExprPtr Binary(int level) {
    if (level == kLevels) return Unary();
    ExprPtr left = Binary(level + 1);
    for (;;) {
      const Level& l = Levels()[level];
      int match = -1;
      for (int i = 0; i < 4 && l.ops[i] != nullptr; ++i) {
        if (IsPunct(l.ops[i])) match = i;
      }
      if (match < 0) return left;
      auto node = Node<BinaryExpr>(Next().loc);
      node->op = l.codes[match];
      node->left = std::move(left);
      node->right = Binary(level + 1);
      left = std::move(node);
    }
  }

  ExprPtr Unary() {
    if (IsPunct("!") || IsPunct("-")) {
      Nest nest(*this, Peek().loc);
      auto node = Node<UnaryExpr>(Peek().loc);
      node->op = Next().text == "!" ? Op::Not : Op::Neg;
      node->operand = Unary();
      return node;
    }
    return Postfix();
  }

  // `[` and `.` bind to what is before them only when nothing separates them: `'a' [1]` stays
  // two statements.
  ExprPtr Postfix() {
    ExprPtr expr = Primary();
    for (;;) {
      if (IsPunct("->")) {
        auto member = Node<MemberExpr>(Next().loc);
        member->name = ExpectName("a member name");
        member->folded = FoldCase(member->name);
        member->target = std::move(expr);
        if (Accept("(")) member->args = Args();
        if (Accept("=>")) member->body = ParseBlock();
        expr = std::move(member);
      } else if ((IsPunct("[") || IsPunct(".")) && !Peek().spaced) {
        auto element = Node<ElementExpr>(Peek().loc);
        element->target = std::move(expr);
        if (Next().text == "[") {
          element->index = Expression();
          Expect("]");
        } else {
          element->name = ExpectName("a member name");
        }
        expr = std::move(element);
      } else {
        return expr;
      }
    }
  }

  std::vector<Arg> Args() {
    std::vector<Arg> args;
    if (Accept(")")) return args;
    do {
      Arg arg;
      arg.loc = Peek().loc;
      // `-word` in a parameter list always names a parameter; write -(x) to negate a call.
      if (IsPunct("-") && Peek(1).kind == Kind::Ident && !kKeywords.count(Peek(1).text)) {
        Next();
        arg.name = Next().str;
        if (Accept("=")) arg.value = Expression();
      } else {
        arg.value = Expression();
      }
      args.push_back(std::move(arg));
    } while (Accept(","));
    Expect(")");
    return args;
  }

  ExprPtr Literal(Location loc, quill_service::VariantPtr value) {
    auto node = Node<LiteralExpr>(loc);
    node->value = std::move(value);
    return node;
  }

  ExprPtr Primary() {
    const Token& t = Peek();
    const Location loc = t.loc;
    switch (t.kind) {
      case Kind::Integer: {
        auto v = MakeVariant();
        v->SetInteger(Next().integer);
        return Literal(loc, std::move(v));
      }
      case Kind::Decimal: {
        auto v = MakeVariant();
        v->SetDecimal(Next().decimal);
        return Literal(loc, std::move(v));
      }
      case Kind::String: {
        auto v = MakeVariant();
        v->SetString(Next().str);
        return Literal(loc, std::move(v));
      }
      case Kind::Variable: {
        auto node = Node<VariableExpr>(loc);
        node->name = Next().str;
        return node;
      }
      case Kind::Ident: {
        if (t.text == "true" || t.text == "false") {
          auto v = MakeVariant();
          v->SetBoolean(Next().text == "true");
          return Literal(loc, std::move(v));
        }
        if (t.text == "null") {
          Next();
          return Literal(loc, MakeVariant());
        }
        if (t.text == "self") {
          Next();
          return Node<SelfExpr>(loc);
        }
        if (kKeywords.count(t.text)) Expected("an expression");
        auto call = Node<CallExpr>(loc);
        call->name = Next().str;
        call->folded = FoldCase(call->name);
        if (Accept("(")) call->args = Args();
        if (Accept("=>")) call->body = ParseBlock();
        return call;
      }
      case Kind::Punct: {
        if (t.text == "(") {
          Next();
          ExprPtr inner = Expression();
          if (Accept(",")) {
            auto pair = Node<PairExpr>(loc);
            pair->first = std::move(inner);
            pair->second = Expression();
            inner = std::move(pair);
          }
          Expect(")");
          return inner;
        }
        if (t.text == "{") {
          Next();
          auto map = Node<MapExpr>(loc);
          if (!Accept("}")) {
            do {
              ExprPtr key = Expression();
              Expect(":");
              map->entries.emplace_back(std::move(key), Expression());
            } while (Accept(","));
            Expect("}");
          }
          return map;
        }
        if (t.text == "[") {
          Next();
          auto array = Node<ArrayExpr>(loc);
          if (!Accept("]")) {
            do array->items.push_back(Expression());
            while (Accept(","));
            Expect("]");
          }
          return array;
        }
        break;
      }
      default: break;
    }
    Expected("an expression");
  }

  std::vector<Token> tokens_;
  size_t pos_ = 0;
  int depth_ = 0;
  uintptr_t stackFloor_;
};

}  // namespace

std::shared_ptr<const Program> Parse(const std::string& source, const std::string& fileName) {
  auto program = std::make_shared<Program>();
  program->fileName = fileName;
  program->block.loc = {1, 1};
  Parser parser(Lexer(source).Run());
  parser.ParseProgram(program->block);
  return program;
}

}  // namespace quill_script
