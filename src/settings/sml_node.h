#pragma once
// SML: the program's small tree text format with XML syntax. It holds the settings file and builds
// the XML and GPX documents of the position server. Simpler than XML: numeric character
// references only, one text value per element written before its children, comments, and no CDATA
// or processing instructions other than the opening declaration.

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace geomuxer {

/// Bad names, attribute text or character references.
class SmlError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// An SmlError found at a place in a document: 1-based line and column (in characters), and the
/// byte offset into the parsed text.
class SmlPosError : public SmlError {
 public:
  SmlPosError(const std::string& message, int line, int column, std::uint64_t offset)
      : SmlError(message), m_line(line), m_column(column), m_offset(offset) {}
  [[nodiscard]] int line() const { return m_line; }
  [[nodiscard]] int column() const { return m_column; }
  [[nodiscard]] std::uint64_t offset() const { return m_offset; }

 private:
  int m_line;
  int m_column;
  std::uint64_t m_offset;
};

/// The data is not a document.
class SmlParseError : public SmlPosError {
 public:
  using SmlPosError::SmlPosError;
};

/// The progress handler stopped the parse.
class SmlAbortError : public SmlPosError {
 public:
  using SmlPosError::SmlPosError;
};

/// "true" / "false".
[[nodiscard]] std::string_view boolToText(bool value);
/// True for "true", "t", "1", "yes", "y" and "-1" in any case; false for every other text.
[[nodiscard]] bool textToBool(std::string_view text);

/// Starts with A-Z, a-z or '_', goes on with those, digits, '.', '-' or ':'.
[[nodiscard]] bool isValidSmlName(std::string_view name);

/// The four characters '"', '&', '<' and '>' as numeric references ("&#034;"); everything else
/// as it is.
[[nodiscard]] std::string smlEscape(std::string_view text);
/// Replaces numeric character references ("&#65;", "&#x41;") with their characters in UTF-8;
/// named references stay as written, as does a reference without a ';' after it. Throws
/// SmlError "There is an invalid Entity" for a reference that is empty, has a wrong digit or
/// names no character.
[[nodiscard]] std::string smlUnescape(std::string_view text);

struct SmlAttribute {
  std::string name;
  std::string value;

  /// name="escaped value", also for an empty value.
  [[nodiscard]] std::string asText() const;
};

/// Parses an attribute text such as `version="1.0" encoding='UTF-8' flag`. Tokens end at a blank
/// or after a quoted part; two blanks in a row end the list. Values are unescaped. Throws SmlError
/// for a bad name or a value without quotes.
[[nodiscard]] std::vector<SmlAttribute> parseSmlAttributes(std::string_view text);
/// The attribute texts joined by single blanks.
[[nodiscard]] std::string smlAttributesText(const std::vector<SmlAttribute>& attributes);

class SmlNode;

/// The children of a node seen as references rather than as the owning pointers they are kept in.
/// (A hand-made view: the standard range adaptors do not build with every compiler we use.)
template <typename Node>
class SmlChildRange {
  using Owned = std::vector<std::unique_ptr<SmlNode>>;

 public:
  class iterator {
   public:
    using difference_type = std::ptrdiff_t;
    using value_type = Node;
    iterator() = default;
    explicit iterator(Owned::const_iterator it) : m_it(it) {}
    Node& operator*() const { return **m_it; }
    Node* operator->() const { return m_it->get(); }
    iterator& operator++() {
      ++m_it;
      return *this;
    }
    iterator operator++(int) {
      iterator old = *this;
      ++m_it;
      return old;
    }
    friend bool operator==(const iterator&, const iterator&) = default;

   private:
    Owned::const_iterator m_it;
  };

  explicit SmlChildRange(const Owned& owned) : m_owned(&owned) {}
  [[nodiscard]] iterator begin() const { return iterator(m_owned->begin()); }
  [[nodiscard]] iterator end() const { return iterator(m_owned->end()); }
  [[nodiscard]] std::size_t size() const { return m_owned->size(); }
  [[nodiscard]] bool empty() const { return m_owned->empty(); }

 private:
  const Owned* m_owned;
};

/// Called after each element has been read, with the element, the size of the data and the offset
/// reached. Return `abort` to stop the parse with SmlAbortError.
enum class SmlProgress { proceed, abort };
using SmlProgressHandler =
    std::function<SmlProgress(const SmlNode& node, std::uint64_t total, std::uint64_t position)>;

/// One element of a document with its attributes, text value and child elements. A root (a node
/// without a parent) also holds the declaration (`header`) and a document type line. A node owns
/// its children; it cannot be copied or moved, so hold roots by value or in a unique_ptr. Not
/// thread-safe; one document belongs to one thread at a time.
class SmlNode {
 public:
  /// A root named `name`; throws SmlError for an invalid name (an empty one is allowed and must be
  /// set before writing).
  explicit SmlNode(std::string_view name = {});
  ~SmlNode();
  SmlNode(const SmlNode&) = delete;
  SmlNode& operator=(const SmlNode&) = delete;

  // --- the element ---------------------------------------------------------------------------
  [[nodiscard]] const std::string& name() const { return m_name; }
  /// Throws SmlError `Sorry, but "x" is not a valid name for a Node` for an invalid name.
  void setName(std::string_view name);

  [[nodiscard]] const std::string& value() const { return m_value; }
  void setValue(std::string_view value) { m_value = value; }
  /// Decimal text.
  void setInteger(long long value);
  /// Locale-free general form with 15 significant digits ("47.1230010986328").
  void setFloat(double value);
  /// "true" / "false".
  void setBool(bool value);

  /// The inside of the declaration line, e.g. `version="1.0" encoding="UTF-8"`; empty for none.
  [[nodiscard]] const std::string& header() const { return m_header; }
  void setHeader(std::string_view header) { m_header = header; }
  [[nodiscard]] const std::string& docType() const { return m_docType; }
  void setDocType(std::string_view docType) { m_docType = docType; }
  /// The `encoding` item of the header, or empty.
  [[nodiscard]] std::string encoding() const;
  /// Replaces or appends the `encoding` item; an empty header becomes
  /// `version="1.0" encoding="<encoding>"`.
  void setEncoding(std::string_view encoding);

  // --- attributes ----------------------------------------------------------------------------
  [[nodiscard]] const std::vector<SmlAttribute>& attributes() const { return m_attributes; }
  /// The first attribute of that name, ignoring case, or null.
  [[nodiscard]] const SmlAttribute* findAttribute(std::string_view name) const;
  /// Sets the value of the first attribute of that name or appends a new one; returns *this so that
  /// calls chain. Throws SmlError for an invalid name.
  SmlNode& setAttribute(std::string_view name, std::string_view value);
  /// Appends an attribute even when one of that name exists.
  SmlNode& addAttribute(std::string_view name, std::string_view value);
  void removeAttribute(std::string_view name);

  // --- children ------------------------------------------------------------------------------
  [[nodiscard]] SmlNode* parent() const { return m_parent; }
  [[nodiscard]] std::size_t childCount() const { return m_children.size(); }
  [[nodiscard]] SmlNode& child(std::size_t index) { return *m_children.at(index); }
  [[nodiscard]] const SmlNode& child(std::size_t index) const { return *m_children.at(index); }
  /// The children in order, as references, for range-for loops.
  [[nodiscard]] SmlChildRange<SmlNode> children() { return SmlChildRange<SmlNode>(m_children); }
  [[nodiscard]] SmlChildRange<const SmlNode> children() const { return SmlChildRange<const SmlNode>(m_children); }
  /// Appends a child; the reference stays valid until the child is removed.
  SmlNode& addChild(std::string_view name, std::string_view value = {});
  void removeChild(std::size_t index);

  /// Walks a backslash-separated path of child names ("general\tracker"), matching names without
  /// regard to case, the first match winning. Null when a step is missing. An empty path or an
  /// empty rest of one ends the walk at the node reached.
  [[nodiscard]] SmlNode* findNode(std::string_view path);
  [[nodiscard]] const SmlNode* findNode(std::string_view path) const;
  /// As findNode, appending the missing steps as new children. Throws SmlError for an invalid name.
  SmlNode& createNode(std::string_view path);

  /// Removes attributes, children and value; name, header and document type stay.
  void clear();

  // --- reading -------------------------------------------------------------------------------
  /// Clears the node and reads one document from `data`. A byte order mark (UTF-8, -16 or -32) is
  /// honoured; otherwise text and attribute values are converted from the declared encoding to
  /// UTF-8. On failure the node holds what was read so far. Throws SmlParseError or SmlAbortError.
  void parse(std::string_view data, const SmlProgressHandler& progress = {});
  /// parse() of the rest of `in`. Throws SmlParseError also for a read failure.
  void load(std::istream& in, const SmlProgressHandler& progress = {});
  /// parse() of a whole file; throws SmlError naming the file when it cannot be read.
  void loadFromFile(const std::string& fileName, const SmlProgressHandler& progress = {});

  // --- writing -------------------------------------------------------------------------------
  /// The document as text. A root is written with a declaration of `charset` (the header's other
  /// items are kept) and encoded in it, with a byte order mark for UTF-16 and UTF-32 but not for
  /// UTF-8; a node inside a tree is written as plain UTF-8 without a declaration. Lines end in
  /// CR LF, each level is indented by two blanks. Throws CharsetError for text the set cannot hold
  /// and SmlError for a node that has no name yet.
  [[nodiscard]] std::string asText(std::string_view charset = "UTF-8") const;
  /// Writes asText(charset) to `out`; true when the stream took every byte.
  [[nodiscard]] bool save(std::ostream& out, std::string_view charset = "UTF-8") const;

 private:
  friend class SmlParser;
  SmlNode(SmlNode* parent, std::string_view name);

  void writeTo(std::string& out, int indent) const;

  std::vector<std::unique_ptr<SmlNode>> m_children;
  SmlNode* m_parent = nullptr;
  std::string m_name;
  std::string m_value;
  std::string m_docType;
  std::string m_header;
  std::vector<SmlAttribute> m_attributes;
};

}  // namespace geomuxer
