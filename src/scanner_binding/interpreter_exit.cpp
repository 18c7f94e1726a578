// Leaving the interpreter lock and taking it back, safe at interpreter exit.
//
// Once the interpreter finalises, any other thread that asks for the lock is
// ended on the spot (pthread_exit). Inside C++ frames that unwinding ends the
// whole process ("terminate called without an active exception") as soon as
// it crosses a noexcept frame, such as a destructor that takes the lock back.
// So an atexit callback, which runs before finalisation begins, closes a
// gate: from then on no thread but the exiting one asks for the lock again.
// A thread that finds the gate closed stops its scan and sleeps until the
// process ends, as the interpreter itself treats daemon threads at exit.
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "bindings.hpp"

namespace vok::scanner_binding {
namespace {

std::atomic<bool> gate_closed{false};
std::atomic<int> threads_entering{0};  // between their gate check and holding the lock
std::thread::id exiting_thread;        // written before gate_closed is set

bool closed_for_this_thread() {
  return gate_closed.load() && std::this_thread::get_id() != exiting_thread;
}

[[noreturn]] void sleep_until_process_ends() {
  while (true) std::this_thread::sleep_for(std::chrono::hours(1));
}

// Takes the lock, unless the gate is closed (false then). A thread counts
// itself in before it checks, and the gate is closed before the count is
// read (both sequentially consistent), so either the thread sees the gate
// closed or the exiting thread waits until the thread holds the lock.
template <class Take>
bool enter(Take take) {
  threads_entering.fetch_add(1);
  if (closed_for_this_thread()) {
    threads_entering.fetch_sub(1);
    return false;
  }
  take();
  threads_entering.fetch_sub(1);
  return true;
}

void close_gate() {
  exiting_thread = std::this_thread::get_id();
  gate_closed.store(true);
  PyThreadState* state = PyEval_SaveThread();
  while (threads_entering.load() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  PyEval_RestoreThread(state);
}

// A forked child has only the thread that forked, which holds the lock.
void forget_entering_threads() { threads_entering.store(0); }

}  // namespace

GilRelease::GilRelease() : state_(PyEval_SaveThread()) {}

GilRelease::~GilRelease() {
  if (!enter([this] { PyEval_RestoreThread(state_); })) sleep_until_process_ends();
}

bool interpreter_exiting() { return closed_for_this_thread(); }

std::function<bool()> signal_check(py::handle stop) {
  return [stop] {
    PyGILState_STATE gil{};
    if (!enter([&] { gil = PyGILState_Ensure(); })) return true;  // stop: the process is ending
    bool raised = PyErr_CheckSignals() != 0;
    if (!raised && !stop.is_none()) {
      // A failing callable stops the scan too, its exception left set.
      PyObject* answer = PyObject_CallObject(stop.ptr(), nullptr);
      if (answer == nullptr) {
        raised = true;
      } else {
        raised = PyObject_IsTrue(answer) != 0;
        Py_DECREF(answer);
      }
    }
    PyGILState_Release(gil);
    return raised;
  };
}

void register_exit_gate() {
  static const int fork_handler = pthread_atfork(nullptr, nullptr, &forget_entering_threads);
  (void)fork_handler;
  py::module_::import("atexit").attr("register")(py::cpp_function(&close_gate));
}

}  // namespace vok::scanner_binding
