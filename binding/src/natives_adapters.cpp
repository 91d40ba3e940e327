// The adapters through which the library calls host objects, and the
// interned names of the methods they call.
#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "convert.hpp"
#include "errors.hpp"
#include "natives.hpp"
#include "runtime.hpp"
#include "types.hpp"

namespace zolangpy {
namespace {

using zolang::Error;

// The one strong reference an adapter holds. Made with the GIL held; dropped
// at once when the dropping thread holds it, otherwise at the next moment a
// thread enters the binding with it (the library may drop natives anywhere).
class HostObject {
 public:
  explicit HostObject(PyObject* object) : object(PyRef::borrow(object)) {}
  HostObject(const HostObject&) = delete;
  HostObject& operator=(const HostObject&) = delete;
  ~HostObject() { release_later(object.release()); }

  PyObject* get() const { return object.get(); }

 private:
  PyRef object;
};

[[nodiscard]] std::expected<PyRef, Error> checked(PyObject* result) {
  if (result == nullptr) return std::unexpected(error_from_python());
  return PyRef::steal(result);
}

// The error of a host method that is not called at all, because an exception
// that is not an error (a KeyboardInterrupt, say) is already on its way out
// of the call that runs it.
const Error* host_code_barred() {
  HostExceptions* record = HostExceptions::current();
  return record != nullptr ? record->leaving() : nullptr;
}

// Calls method `name` of `object` with no arguments at all.
[[nodiscard]] std::expected<PyRef, Error> call_method(PyObject* object, PyObject* name) {
  if (const Error* barred = host_code_barred()) return std::unexpected(*barred);
  return checked(running_python([&] { return PyObject_CallMethodNoArgs(object, name); }));
}

// Calls method `name` of `object` with one positional argument.
[[nodiscard]] std::expected<PyRef, Error> call_method(PyObject* object, PyObject* name,
                                                      PyObject* argument) {
  if (const Error* barred = host_code_barred()) return std::unexpected(*barred);
  return checked(running_python([&] { return PyObject_CallMethodOneArg(object, name, argument); }));
}

// Builds a new list from `items` converted by `convert` (which returns a
// PyRef, null with an exception set).
template <typename Item, typename Convert>
[[nodiscard]] std::expected<PyRef, Error> make_list(const std::vector<Item>& items,
                                                    Convert convert) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return std::unexpected(error_from_python());
  for (std::size_t index = 0; index < items.size(); ++index) {
    PyRef item = convert(items[index]);
    if (!item) return std::unexpected(error_from_python());
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(index), item.release());
  }
  return list;
}

// The InvalidCallable error for a result of `generate` that is no Callable.
Error invalid_callable(PyObject* result) {
  PyRef name = PyRef::steal(running_python([&] {
    return PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(result)), "__name__");
  }));
  if (!name) return error_from_python();
  PyRef text = PyRef::steal(running_python([&] { return PyObject_Str(name.get()); }));
  Py_ssize_t size = 0;
  const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
  if (utf8 == nullptr) return error_from_python();
  return Error::invalid_callable(std::string(utf8, static_cast<std::size_t>(size)));
}

class PyCallable final : public zolang::Callable {
 public:
  explicit PyCallable(PyObject* object) : host(object) {}

  [[nodiscard]] std::expected<bool, Error> call() override {
    GilAcquire gil;
    auto result = call_method(host.get(), method_names().call);
    if (!result) return std::unexpected(std::move(result.error()));
    return bool_from_python(result->get(), true);
  }

  [[nodiscard]] std::expected<void, Error> terminate() override {
    GilAcquire gil;
    auto result = call_method(host.get(), method_names().terminate);
    if (!result) return std::unexpected(std::move(result.error()));
    return {};
  }

  // Asked only of a call used as a value, so it costs no call statement
  // anything. The method is called by name, the fast way; only when that
  // raises AttributeError is it asked whether the object has a `result` at
  // all, since a missing one means nil.
  [[nodiscard]] std::expected<zolang::Value, Error> result() override {
    GilAcquire gil;
    if (const Error* barred = host_code_barred()) return std::unexpected(*barred);
    PyRef result = PyRef::steal(running_python(
        [&] { return PyObject_CallMethodNoArgs(host.get(), method_names().result); }));
    if (!result) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError) || has_result()) {
        return std::unexpected(error_from_python());
      }
      PyErr_Clear();
      return zolang::Value();
    }
    return value_from_python(result.get());
  }

 private:
  // Whether the object has a `result`, with the pending exception kept.
  bool has_result() const {
    FetchedException pending = FetchedException::fetch();
    const int found =
        running_python([&] { return PyObject_HasAttr(host.get(), method_names().result); });
    pending.restore();
    return found == 1;
  }

  HostObject host;
};

// The Arg objects a generator's syntax checks receive, made once per
// distinct argument and handed to every later check: they cannot change, and
// making one costs more than the rest of a check (on PyPy, three times more).
// A few dozen words are kept; further ones are made afresh each time. Used
// with the GIL held.
class ArgCache {
 public:
  ArgCache() = default;
  ArgCache(const ArgCache&) = delete;
  ArgCache& operator=(const ArgCache&) = delete;
  ~ArgCache() {
    release_later(value.release());
    for (Word& word : words) release_later(word.object.release());
  }

  // A new reference to the object for `arg`; null with an exception set.
  PyRef get(const zolang::Arg& arg) {
    PyRef* kept = arg.is_value() ? &value : find(arg.text());
    if (kept != nullptr && *kept) return PyRef::borrow(kept->get());
    PyRef made = make_arg(arg);
    if (!made) return made;
    if (arg.is_value()) {
      value = PyRef::borrow(made.get());
    } else if (words.size() < max_words) {
      words.push_back(Word{arg.text(), PyRef::borrow(made.get())});
    }
    return made;
  }

 private:
  static constexpr std::size_t max_words = 32;
  struct Word {
    std::string text;
    PyRef object;
  };

  PyRef* find(const std::string& text) {
    for (Word& word : words) {
      if (word.text == text) return &word.object;
    }
    return nullptr;
  }

  PyRef value;
  std::vector<Word> words;
};

class PyCallableGenerator final : public zolang::CallableGenerator {
 public:
  PyCallableGenerator(PyObject* object, bool words) : host(object), words(words) {}

  [[nodiscard]] std::expected<std::unique_ptr<zolang::Callable>, Error> generate(
      std::vector<zolang::Value> args) override {
    GilAcquire gil;
    auto list = make_list(args, value_to_python);
    if (!list) return std::unexpected(std::move(list.error()));
    auto result = call_method(host.get(), method_names().generate, list->get());
    if (!result) return std::unexpected(std::move(result.error()));
    if (!has_type(result->get(), module_types().callable)) {
      return std::unexpected(invalid_callable(result->get()));
    }
    return std::make_unique<PyCallable>(result->get());
  }

  [[nodiscard]] std::expected<void, Error> check_syntax(std::vector<zolang::Arg> args) override {
    GilAcquire gil;
    auto list = make_list(args, [this](const zolang::Arg& arg) { return arg_objects.get(arg); });
    if (!list) return std::unexpected(std::move(list.error()));
    auto result = call_method(host.get(), method_names().check_syntax, list->get());
    if (!result) return std::unexpected(std::move(result.error()));
    return {};
  }

  bool words_at_run_time() const override { return words; }

 private:
  HostObject host;
  ArgCache arg_objects;  // after `host`: released before it
  bool words;
};

// The generator's `words_at_run_time`, read once: missing means false, and
// a value whose truth cannot be told is an error (the exception stays set).
std::optional<bool> reads_words_at_run_time(PyObject* object) {
  PyRef flag = PyRef::steal(
      running_python([&] { return PyObject_GetAttr(object, method_names().words_at_run_time); }));
  if (!flag) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return std::nullopt;
    PyErr_Clear();
    return false;
  }
  int truth = running_python([&] { return PyObject_IsTrue(flag.get()); });
  if (truth < 0) return std::nullopt;
  return truth == 1;
}

class PyProp final : public zolang::Prop {
 public:
  explicit PyProp(PyObject* object) : host(object) {}

  [[nodiscard]] std::expected<zolang::Value, Error> get() override {
    GilAcquire gil;
    auto result = call_method(host.get(), method_names().get);
    if (!result) return std::unexpected(std::move(result.error()));
    return value_from_python(result->get());
  }

  [[nodiscard]] std::expected<void, Error> set(zolang::Value value) override {
    GilAcquire gil;
    PyRef argument = value_to_python(value);
    if (!argument) return std::unexpected(error_from_python());
    auto result = call_method(host.get(), method_names().set, argument.get());
    if (!result) return std::unexpected(std::move(result.error()));
    return {};
  }

  [[nodiscard]] std::expected<bool, Error> settable() override {
    GilAcquire gil;
    auto result = call_method(host.get(), method_names().is_settable);
    if (!result) return std::unexpected(std::move(result.error()));
    return bool_from_python(result->get(), std::nullopt);
  }

 private:
  HostObject host;
};

}  // namespace

std::unique_ptr<zolang::CallableGenerator> make_generator_adapter(PyObject* object) {
  std::optional<bool> words = reads_words_at_run_time(object);
  if (!words) return nullptr;
  return std::make_unique<PyCallableGenerator>(object, *words);
}

std::unique_ptr<zolang::Prop> make_prop_adapter(PyObject* object) {
  return std::make_unique<PyProp>(object);
}

}  // namespace zolangpy

// --- Method names ---

namespace zolangpy {
namespace {

MethodNames names;

bool intern(PyObject*& slot, const char* text) {
  if (slot == nullptr) slot = PyUnicode_InternFromString(text);
  return slot != nullptr;
}

}  // namespace

const MethodNames& method_names() { return names; }

bool intern_method_names() {
  return intern(names.check_syntax, "check_syntax") && intern(names.generate, "generate") &&
         intern(names.call, "call") && intern(names.terminate, "terminate") &&
         intern(names.get, "get") && intern(names.set, "set") &&
         intern(names.is_settable, "is_settable") && intern(names.result, "result") &&
         intern(names.words_at_run_time, "words_at_run_time");
}

}  // namespace zolangpy
