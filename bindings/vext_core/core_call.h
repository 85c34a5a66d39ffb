#pragma once

// Helpers for the entry points of vext._core: running the core without the
// interpreter lock while still answering Ctrl-C, and building result lists.

#include "ref.h"

#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "lossless/lossless.h"
#include "tree_convert.h"

namespace vext_py {

// Calls the interpreter for signals from inside the core, which runs without
// the interpreter lock.
struct SignalPoll {
  PyThreadState* thread = nullptr;
  static bool poll(void* context) {
    auto* self = static_cast<SignalPoll*>(context);
    PyEval_RestoreThread(self->thread);
    const bool stop = PyErr_CheckSignals() != 0;
    self->thread = PyEval_SaveThread();
    return stop;
  }
};

// Runs `work` on converted values without the interpreter lock. Returns
// nullopt with a Python error set when a signal handler raised; a C++
// exception is rethrown once the lock is back.
template <class F>
auto without_lock(F&& work) -> std::optional<decltype(work(vext::StopCheck{}))> {
  SignalPoll poll;
  const vext::StopCheck stop{.poll = &SignalPoll::poll, .context = &poll};
  std::optional<decltype(work(stop))> out;
  std::exception_ptr failure;
  bool stopped = false;
  poll.thread = PyEval_SaveThread();
  try {
    out.emplace(work(stop));
  } catch (const vext::Stopped&) {
    stopped = true;
  } catch (...) {
    failure = std::current_exception();
  }
  PyEval_RestoreThread(poll.thread);
  if (failure) std::rethrow_exception(failure);
  if (stopped) return std::nullopt;
  return out;
}

// Builds a list (or with `Tuple`, a tuple) of `convert(item)`; an empty Ref
// with a Python error set when one fails or a signal handler raised.
template <bool Tuple, class T, class F>
Ref sequence_of(const std::vector<T>& items, F&& convert) {
  const auto n = static_cast<Py_ssize_t>(items.size());
  Ref seq = Ref::steal(Tuple ? PyTuple_New(n) : PyList_New(n));
  if (!seq) return {};
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!check_signals()) return {};
    Ref item = convert(items[static_cast<std::size_t>(i)]);
    if (!item) return {};
    if constexpr (Tuple) {
      PyTuple_SET_ITEM(seq.get(), i, item.release());
    } else {
      PyList_SET_ITEM(seq.get(), i, item.release());
    }
  }
  return seq;
}

template <class T, class F>
Ref list_of(const std::vector<T>& items, F&& convert) {
  return sequence_of<false>(items, std::forward<F>(convert));
}

template <class T, class F>
Ref tuple_of(const std::vector<T>& items, F&& convert) {
  return sequence_of<true>(items, std::forward<F>(convert));
}

// Makes a str from UTF-8 text, or None.
inline Ref optional_str(const std::optional<std::string>& s) {
  return s ? Ref::steal(PyUnicode_DecodeUTF8(s->data(), static_cast<Py_ssize_t>(s->size()), "strict"))
           : Ref::borrow(Py_None);
}

}  // namespace vext_py
