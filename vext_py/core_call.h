#pragma once

// Helpers for the entry points of vext._core: running the core without the
// interpreter lock while still answering Ctrl-C, and building result lists.

#include "ref.h"

#include <exception>
#include <optional>
#include <utility>
#include <vector>

#include "three_way/three_way.h"

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

// Builds a list of `convert(item)`; an empty Ref with a Python error set when
// one fails.
template <class T, class F>
Ref list_of(const std::vector<T>& items, F&& convert) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return {};
  for (std::size_t i = 0; i < items.size(); ++i) {
    Ref item = convert(items[i]);
    if (!item) return {};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  return list;
}

// Adds the file functions and FormatError to vext._core. Returns false with
// a Python error set.
bool add_file_api(PyObject* module);

}  // namespace vext_py
