// Value: the one run-time value of Zo. A number (64-bit float), a string, a
// boolean or nil. Numbers, booleans and nil live inside the Value itself;
// strings are immutable and shared, so copying any Value costs two machine
// words and, for a string, one reference-count increment.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace zolang {

class Value {
 public:
  enum class Kind : std::uint8_t { Number, String, Boolean, Nil };

  Value() noexcept : tag(Kind::Nil) { payload.number = 0; }
  static Value number(double n) noexcept {
    Value v;
    v.tag = Kind::Number;
    v.payload.number = n;
    return v;
  }
  static Value boolean(bool b) noexcept {
    Value v;
    v.tag = Kind::Boolean;
    v.payload.boolean = b;
    return v;
  }
  static Value nil() noexcept { return Value(); }
  static Value string(std::string_view text);
  // The left text followed by the right text.
  static Value concat(std::string_view left, std::string_view right);
  // The same, or nothing when the memory cannot be had (concat throws
  // std::bad_alloc then).
  static std::optional<Value> try_concat(std::string_view left, std::string_view right) noexcept;

  // For memory accounting: the bytes a string of `length` bytes takes on the
  // heap; for this value, the bytes its string takes (0 for the other
  // kinds), and whether other values share that string.
  static std::size_t string_heap_bytes(std::size_t length) noexcept;
  std::size_t heap_bytes() const noexcept;
  bool shares_heap() const noexcept;
  // The same for every value sharing the string; null for the other kinds.
  const void* heap_identity() const noexcept { return is_string() ? payload.string : nullptr; }

  Value(const Value& other) noexcept : tag(other.tag), payload(other.payload) { retain(); }
  Value(Value&& other) noexcept : tag(other.tag), payload(other.payload) { other.tag = Kind::Nil; }
  Value& operator=(const Value& other) noexcept {
    Value copy(other);
    swap(copy);
    return *this;
  }
  Value& operator=(Value&& other) noexcept {
    Value moved(std::move(other));
    swap(moved);
    return *this;
  }
  ~Value() { release(); }

  void swap(Value& other) noexcept {
    std::swap(tag, other.tag);
    std::swap(payload, other.payload);
  }

  Kind kind() const noexcept { return tag; }
  bool is_number() const noexcept { return tag == Kind::Number; }
  bool is_string() const noexcept { return tag == Kind::String; }
  bool is_boolean() const noexcept { return tag == Kind::Boolean; }
  bool is_nil() const noexcept { return tag == Kind::Nil; }

  // Valid only for the matching kind.
  double as_number() const noexcept { return payload.number; }
  bool as_boolean() const noexcept { return payload.boolean; }
  std::string_view as_string() const noexcept;

  // Zo's truthiness: nil and false are false, a number is false exactly when
  // it is zero of either sign (NaN is true), a string when it is empty.
  bool truthy() const noexcept {
    switch (tag) {
      case Kind::Number:
        return payload.number != 0.0 || payload.number != payload.number;
      case Kind::Boolean:
        return payload.boolean;
      case Kind::Nil:
        return false;
      case Kind::String:
        return !as_string().empty();
    }
    return false;
  }

  // Zo's equality, as `eq` sees it: different kinds are unequal, numbers
  // compare as IEEE doubles (NaN is unequal to itself, 0 equals -0).
  friend bool equals(const Value& left, const Value& right) noexcept;

  // Identity: same kind and the same bits or bytes, so -0 differs from 0 and a
  // NaN equals itself. This is what tests and instruction comparison want;
  // the language's `eq` uses `equals`.
  friend bool operator==(const Value& left, const Value& right) noexcept;

  // The display text: numbers as shortest round-trip decimals without exponent
  // (-0, NaN, inf, -inf), strings inside double quotes with nothing escaped,
  // true, false, nil. Identical to the value's IR text.
  std::string display() const;
  void append_display(std::string& out) const;

 private:
  struct StringRep;

  void retain() const noexcept;
  void release() noexcept;

  Kind tag;
  union Payload {
    double number;
    bool boolean;
    StringRep* string;
  } payload;
};

// The display text of a number (see Value::display).
std::string format_number(double number);
void append_number(std::string& out, double number);

// Reads a decimal number: an optional '-', digits, an optional fraction after
// '.', an optional exponent. The whole text must match. The result is
// correctly rounded; a value too large for a double gives an infinity and one
// too small a zero of the right sign. Nothing on failure.
std::optional<double> parse_decimal(std::string_view text);

}  // namespace zolang
