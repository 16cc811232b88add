// Checks that every public declaration of the installed headers carries a contract comment.
//
// The headers are read line by line with a small brace-depth model: namespace and class bodies
// are entered, function bodies skipped, private sections ignored. A public declaration (a
// class, an enum, a function, a constant, an alias) passes when a documentation comment (`///`
// lines or a `/** */` block, the forms Doxygen attaches) stands directly above it, or above the
// contiguous block of declarations it belongs to (no blank line between), which is how one
// comment documents a family of overloads. A plain `//` or `/* */` comment does not count.
// Defaulted and deleted special members, access specifiers and preprocessor lines need no
// comment.
//
// Usage: public_comments [--expect-failures N] HEADER...
// Prints every undocumented declaration; exit 1 if any (with --expect-failures, exit 0 exactly
// when N are found, which is how the checker itself is tested on a fixture).
#include <cctype>
#include <fstream>
#include <iostream>
#include <regex>
#include <string>
#include <vector>

namespace {

enum class Scope { Namespace, PublicClass, PrivateClass, Body };

std::string trim(const std::string& s) {
  const auto b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  const auto e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

// Text of a line without string/char literals and trailing // comments, for brace counting.
std::string code(const std::string& line) {
  std::string out;
  char quote = 0;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quote) {
      if (c == '\\')
        ++i;
      else if (c == quote)
        quote = 0;
      continue;
    }
    if (c == '"' || c == '\'') {
      quote = c;
      continue;
    }
    if (c == '/' && i + 1 < line.size() && line[i + 1] == '/') break;
    out += c;
  }
  return out;
}

bool needsNoComment(const std::string& t) {
  static const std::regex special(
      R"(^(~?\w+\s*\((const\s+)?\w+&{1,2}\s*\w*\)\s*(noexcept\s*)?=\s*(default|delete)\s*;|)"
      R"(\w+&\s*operator=\(\s*(const\s+)?\w+&{1,2}\s*\w*\)\s*(noexcept\s*)?=\s*(default|delete)\s*;|)"
      R"(~\w+\(\)\s*(noexcept\s*)?=\s*default\s*;|.*=\s*delete\s*;))");
  return t.empty() || t[0] == '#' || t[0] == '}' || t[0] == '{' || t == "public:" ||
         t == "private:" || t == "protected:" || t.rfind("friend ", 0) == 0 ||
         t.rfind("namespace", 0) == 0 || t.rfind("extern \"C\"", 0) == 0 ||
         std::regex_match(t, special);
}

bool isComment(const std::string& t) {
  return t.rfind("//", 0) == 0 || t.rfind("/*", 0) == 0;
}

bool isDocComment(const std::string& t) {
  return t.rfind("///", 0) == 0 || (t.rfind("/**", 0) == 0 && t.rfind("/**/", 0) != 0);
}

int checkHeader(const std::string& path) {
  std::ifstream in(path);
  if (!in) {
    std::cerr << path << ": cannot be read\n";
    return 1;
  }
  std::vector<Scope> scopes;
  int failures = 0, lineNumber = 0;
  bool documentedBlock = false;  // the current contiguous block has a comment above it
  bool continuation = false;     // the previous line left a declaration unfinished
  int pendingParens = 0;
  enum class BlockComment { None, Plain, Doc } blockComment = BlockComment::None;
  std::string line;
  while (std::getline(in, line)) {
    ++lineNumber;
    const std::string t = trim(line);
    const std::string c = code(t);
    const Scope scope = scopes.empty() ? Scope::Namespace : scopes.back();
    if (blockComment != BlockComment::None) {
      // Inside a /* */ block: only a /** */ one documents what follows it.
      if (t.find("*/") != std::string::npos) {
        documentedBlock = documentedBlock || blockComment == BlockComment::Doc;
        blockComment = BlockComment::None;
      }
      continue;
    }
    if (t.empty()) {
      documentedBlock = false;
    } else if (isComment(t)) {
      // A plain // line neither documents nor breaks the block (a note inside a documented one).
      if (t.rfind("/*", 0) == 0) {
        const bool doc = isDocComment(t);
        if (t.find("*/", 2) == std::string::npos)
          blockComment = doc ? BlockComment::Doc : BlockComment::Plain;
        else if (doc)
          documentedBlock = true;
      } else if (isDocComment(t)) {
        documentedBlock = true;
      }
    } else if (scope != Scope::Body) {
      if (t == "public:") scopes.back() = Scope::PublicClass;
      if (t == "private:" || t == "protected:") scopes.back() = Scope::PrivateClass;
      const bool visible = scope == Scope::Namespace || scope == Scope::PublicClass;
      if (visible && !continuation && !needsNoComment(t) && !documentedBlock) {
        std::cout << path << ":" << lineNumber << ": undocumented: " << t << "\n";
        ++failures;
      }
    }
    // Track scopes by the braces of this line.
    for (char ch : c) {
      if (ch == '(') ++pendingParens;
      if (ch == ')') --pendingParens;
      if (ch == '{') {
        const Scope inner = scopes.empty() ? Scope::Namespace : scopes.back();
        if (inner == Scope::Body) {
          scopes.push_back(Scope::Body);
        } else if (std::regex_search(c, std::regex(R"(^\s*namespace\b|extern\s+"C")"))) {
          scopes.push_back(Scope::Namespace);
        } else if (std::regex_search(c, std::regex(R"(\b(class|struct|union)\b[^(]*$)")) ||
                   std::regex_search(c, std::regex(R"(\b(class|struct|union)\b\s+\w+.*:\s)"))) {
          const bool isStruct = std::regex_search(c, std::regex(R"(\b(struct|union)\b)"));
          scopes.push_back(isStruct ? Scope::PublicClass : Scope::PrivateClass);
        } else if (std::regex_search(c, std::regex(R"(\benum\b)"))) {
          scopes.push_back(Scope::Body);  // enumerators are covered by the enum's comment
        } else {
          scopes.push_back(Scope::Body);
        }
      }
      if (ch == '}' && !scopes.empty()) scopes.pop_back();
    }
    if (!t.empty() && !isComment(t)) {
      const char last = c.empty() ? ';' : trim(c).back();
      continuation = pendingParens > 0 ||
                     (last != ';' && last != '{' && last != '}' && last != ':' && t[0] != '#');
    }
  }
  return failures;
}

}  // namespace

int main(int argc, char** argv) {
  int first = 1, expected = -1;
  if (argc > 2 && std::string(argv[1]) == "--expect-failures") {
    expected = std::stoi(argv[2]);
    first = 3;
  }
  int failures = 0;
  for (int i = first; i < argc; ++i) failures += checkHeader(argv[i]);
  if (failures) std::cout << failures << " public declarations without a documentation comment\n";
  if (expected >= 0) return failures == expected ? 0 : 1;
  return failures ? 1 : 0;
}
