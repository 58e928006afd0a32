// The library's log in Python: on import the module replaces the native sink
// with one that hands every record to Python's `logging`, under the logger
// "quorvan.<category>" ("quorvan.csi", "quorvan.camera", ...) at the matching
// level. QUORVAN_LOG still decides what the library emits; the loggers'
// levels and handlers decide what Python shows of it. The module itself gains
// no attribute: it keeps the names it has always had.
//
// Records come from any thread. One logged on a thread that holds the
// interpreter lock (an open() called from Python) is delivered at once, in
// order with the caller's own code. Any other thread (a capture thread) never
// waits for the lock, since the thread holding it may be waiting for that very
// thread (stop() joins the capture thread with the lock held): its records
// are queued and a delivery thread of this module passes them on. At exit,
// before the interpreter starts finalising, the delivery thread is stopped
// and the standard-error sink comes back, so Python is never called and the
// lock never taken once finalisation has begun.
#include <pybind11/pybind11.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include "bindings.h"
#include "quorvan/log.h"

namespace Quorvan::python {

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

int pythonLevel(logging::Level level) {
    switch (level) {
        case logging::Level::Debug:
            return 10;
        case logging::Level::Info:
            return 20;
        case logging::Level::Warn:
            return 30;
        case logging::Level::Error:
        case logging::Level::None:
            break;
    }
    return 40;
}

struct QueuedRecord {
    std::string category;
    logging::Level level;
    std::string message;
};

class PythonLogBridge {
public:
    // Never destroyed: native threads may log during and after the
    // interpreter's exit, and must still find the bridge turned off.
    static PythonLogBridge& instance() {
        static PythonLogBridge* const bridge = new PythonLogBridge;
        return *bridge;
    }

    void install() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            accepting_ = true;
        }
        logging::setSink([this](const logging::Record& record) { receive(record); });
    }

    // Runs from the exit hook, with the interpreter lock held and the
    // interpreter still whole.
    void shutDown() {
        logging::setSink({});
        std::thread worker;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            accepting_ = false;
            stopping_ = true;
            worker = std::move(worker_);
        }
        wake_.notify_all();
        if (worker.joinable()) {
            // The worker may be waiting for the lock to hand over its last
            // batch; joining while holding it would wait for ever.
            PyThreadState* const thread_state = PyEval_SaveThread();
            worker.join();
            PyEval_RestoreThread(thread_state);
        }
        std::deque<QueuedRecord> left;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            left.swap(queue_);
        }
        for (const QueuedRecord& record : left)
            deliver(record.category.c_str(), record.level, record.message.c_str());
    }

    // In the child of a fork, with the interpreter lock held. Only the
    // forking thread came along: the delivery thread is not there to be
    // joined (joining it would be undefined), and the lock guarding the queue
    // may have been held by a thread that no longer exists.
    void afterForkInChild() {
        new (&mutex_) std::mutex;
        new (&wake_) std::condition_variable;
        if (worker_.joinable()) {
            // Never joined nor destroyed: a joinable std::thread would end
            // the process when destroyed. The parent still owns the thread.
            new std::thread(std::move(worker_));
        }
        queue_.clear();
        dropped_ = 0;
        stopping_ = false;
    }

private:
    // Records beyond this wait in no queue: a Python program that holds the
    // interpreter lock for long while a capture thread reports every frame
    // loses messages rather than memory. The loss itself is reported.
    static constexpr size_t kQueueLimit = 1024;

    void receive(const logging::Record& record) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!accepting_) {
            lock.unlock();
            logging::writeToStandardError(record);
            return;
        }
        if (PyGILState_Check()) {
            lock.unlock();
            deliver(record.category, record.level, record.message);
            return;
        }
        if (queue_.size() >= kQueueLimit) {
            ++dropped_;
            return;
        }
        if (!worker_.joinable() && !startWorker()) {
            lock.unlock();
            logging::writeToStandardError(record);
            return;
        }
        queue_.push_back({record.category, record.level, record.message});
        lock.unlock();
        wake_.notify_one();
    }

    // With mutex_ held.
    bool startWorker() {
        try {
            worker_ = std::thread(&PythonLogBridge::run, this);
            return true;
        } catch (const std::system_error&) {
            return false;
        }
    }

    void run() {
        for (;;) {
            std::deque<QueuedRecord> batch;
            size_t dropped = 0;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
                if (queue_.empty())
                    return;
                batch.swap(queue_);
                dropped = std::exchange(dropped_, 0);
            }
            // Safe to take: the exit hook joins this thread before the
            // interpreter finalises, and lets go of the lock while it waits.
            const PyGILState_STATE state = PyGILState_Ensure();
            for (const QueuedRecord& record : batch)
                deliver(record.category.c_str(), record.level, record.message.c_str());
            if (dropped > 0) {
                const std::string note = std::to_string(dropped) +
                                         " library messages were dropped while the "
                                         "interpreter was busy";
                deliver("camera", logging::Level::Warn, note.c_str());
            }
            PyGILState_Release(state);
        }
    }

    // With the interpreter lock held.
    static void deliver(const char* category, logging::Level level, const char* message) {
        try {
            // Messages quote what the kernel and files hold (adapter names,
            // paths), which need not be UTF-8; the record keeps the rest.
            const auto text = py::reinterpret_steal<py::str>(PyUnicode_DecodeUTF8(
                message, static_cast<Py_ssize_t>(std::strlen(message)), "replace"));
            if (!text)
                throw py::error_already_set();
            py::object logger = py::module_::import("logging").attr("getLogger")(
                std::string("quorvan.") + category);
            logger.attr("log")(pythonLevel(level), text);
        } catch (py::error_already_set& error) {
            // A failing handler is the application's problem, but it must not
            // become an exception in whatever Python code happened to run.
            error.discard_as_unraisable("QuorvanDepthCamera log delivery");
        } catch (const std::exception&) {
            // Out of memory for the logger's name: on the delivery thread an
            // escaping exception would end the process.
        }
    }

    std::mutex mutex_;  // guards everything below
    std::condition_variable wake_;
    std::deque<QueuedRecord> queue_;
    size_t dropped_ = 0;
    bool accepting_ = false;
    bool stopping_ = false;
    std::thread worker_;
};

}  // namespace

void init_logging(py::module_& /*m*/) {
    PythonLogBridge::instance().install();
    // Imported now so that its own exit hook (which flushes the handlers) is
    // registered before, and so runs after, the one below.
    py::module_::import("logging");
    // Registered before the hook that stops the cameras, so it runs after it
    // (atexit runs the last registered first): what the cameras report while
    // they stop still reaches Python.
    py::cpp_function shut_down([] { PythonLogBridge::instance().shutDown(); },
                               py::name("_stop_log_delivery"));
    py::module_::import("atexit").attr("register")(shut_down);
    py::cpp_function after_fork([] { PythonLogBridge::instance().afterForkInChild(); },
                                py::name("_reset_log_delivery_after_fork"));
    py::module_::import("os").attr("register_at_fork")("after_in_child"_a = after_fork);
}

}  // namespace Quorvan::python
