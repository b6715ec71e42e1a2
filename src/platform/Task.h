// Work that can wait without holding anyone else up: a coroutine on the one main thread. A task
// starts when it is awaited (or Start()ed at the top), runs until its first wait, and is resumed
// later by whatever it waits for (the delay clock, a timer). Waiting functions return Task<T> and
// their callers `co_await` them; values and exceptions reach the awaiting caller as from a plain
// call. Destroying a task destroys the work it is suspended in, all the way down, and nothing
// resumes it afterwards.
//
// Keep each co_await a statement of its own (or the whole right side of an assignment), never an
// operand of &&, || or ?: : g++ 12 gets their order wrong around a suspension (seen here: a
// write refused by the left side still went out, and a reply was checked before it arrived).
#pragma once

#include <coroutine>
#include <cstddef>
#include <exception>
#include <new>
#include <optional>
#include <utility>

namespace qmb {

template <typename T = void>
class Task;

namespace task_detail {

// Resumes whoever awaited the task when it ends; a top-level task stays suspended at its end
// until its owner looks at it.
struct FinalAwaiter {
  bool await_ready() const noexcept { return false; }
  template <typename Promise>
  std::coroutine_handle<> await_suspend(std::coroutine_handle<Promise> ended) noexcept {
    const std::coroutine_handle<> next = ended.promise().continuation;
    return next ? next : std::noop_coroutine();
  }
  void await_resume() const noexcept {}
};

// Coroutine frames come and go with every exchange, several a poll: freed frames are kept for
// the next of their size rather than handed back to the heap. Sizes are rounded up to 128 bytes;
// frames above kLargest go to the heap as usual. The loop runs on one thread, but a frame may end
// on another (a worker's task): each thread keeps lists of its own, so no lock is needed and a
// frame freed elsewhere simply joins that thread's lists. Under AddressSanitizer every frame goes
// to the heap, so that a frame used after its end is still caught.
#if defined(__SANITIZE_ADDRESS__)
#define QMB_FRAME_POOL 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QMB_FRAME_POOL 0
#endif
#endif
#ifndef QMB_FRAME_POOL
#define QMB_FRAME_POOL 1
#endif

class FramePool {
 public:
  // An exchange's frame holds whole replies (a kilobyte of data each): frames of several
  // kilobytes are the common case, not the exception.
  static constexpr std::size_t kGrain = 128;
  static constexpr std::size_t kLargest = 16384;
  // Per size class: enough for the tasks of many sites in flight at once, not unbounded.
  static constexpr std::size_t kKept = 256;

  static void* Allocate(std::size_t size) {
    if (!QMB_FRAME_POOL || size > kLargest || Gone()) return ::operator new(size);
    Lists& lists = Local();
    const std::size_t index = Index(size);
    if (Free* frame = lists.heads[index]) {
      lists.heads[index] = frame->next;
      --lists.counts[index];
      return frame;
    }
    return ::operator new((index + 1) * kGrain);
  }
  // Frames this thread holds for reuse.
  static std::size_t KeptFrames() {
    std::size_t kept = 0;
    if (!Gone())
      for (const std::size_t count : Local().counts) kept += count;
    return kept;
  }
  static void Release(void* pointer, std::size_t size) noexcept {
    // A frame that ends after this thread's lists did (a task held by a static) goes back at once.
    if (!QMB_FRAME_POOL || size > kLargest || Gone()) {
      ::operator delete(pointer);
      return;
    }
    Lists& lists = Local();
    const std::size_t index = Index(size);
    if (lists.counts[index] >= kKept) {
      ::operator delete(pointer);
      return;
    }
    auto* frame = static_cast<Free*>(pointer);
    frame->next = lists.heads[index];
    lists.heads[index] = frame;
    ++lists.counts[index];
  }

 private:
  struct Free {
    Free* next;
  };
  static constexpr std::size_t kClasses = kLargest / kGrain;
  struct Lists {
    Free* heads[kClasses] = {};
    std::size_t counts[kClasses] = {};
    Lists() = default;
    Lists(const Lists&) = delete;
    Lists& operator=(const Lists&) = delete;
    ~Lists() {
      Gone() = true;
      for (Free* head : heads)
        while (head) ::operator delete(std::exchange(head, head->next));
    }
  };
  static std::size_t Index(std::size_t size) { return size == 0 ? 0 : (size - 1) / kGrain; }
  static bool& Gone() {
    thread_local bool gone = false;  // trivial: readable even during the thread's end
    return gone;
  }
  static Lists& Local() {
    thread_local Lists lists;
    return lists;
  }
};

struct PromiseBase {
  static void* operator new(std::size_t size) { return FramePool::Allocate(size); }
  static void operator delete(void* pointer, std::size_t size) noexcept {
    FramePool::Release(pointer, size);
  }

  std::coroutine_handle<> continuation;
  std::exception_ptr error;

  std::suspend_always initial_suspend() const noexcept { return {}; }
  FinalAwaiter final_suspend() const noexcept { return {}; }
  void unhandled_exception() noexcept { error = std::current_exception(); }
  void RethrowIfFailed() const {
    if (error) std::rethrow_exception(error);
  }
};

template <typename T>
struct Promise : PromiseBase {
  std::optional<T> value;

  Task<T> get_return_object() noexcept;
  template <typename U>
  void return_value(U&& result) {
    value.emplace(std::forward<U>(result));
  }
  T Take() {
    RethrowIfFailed();
    return std::move(*value);
  }
};

template <>
struct Promise<void> : PromiseBase {
  Task<void> get_return_object() noexcept;
  void return_void() const noexcept {}
  void Take() const { RethrowIfFailed(); }
};

}  // namespace task_detail

template <typename T>
class [[nodiscard]] Task {
 public:
  using promise_type = task_detail::Promise<T>;
  using Handle = std::coroutine_handle<promise_type>;

  Task() = default;
  explicit Task(Handle handle) noexcept : handle_(handle) {}
  Task(Task&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
  Task& operator=(Task&& other) noexcept {
    if (this != &other) {
      Reset();
      handle_ = std::exchange(other.handle_, {});
    }
    return *this;
  }
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;
  ~Task() { Reset(); }

  // Awaiting a task runs it; the awaiting coroutine goes on when it ends, with its value.
  bool await_ready() const noexcept { return false; }
  std::coroutine_handle<> await_suspend(std::coroutine_handle<> awaiting) noexcept {
    handle_.promise().continuation = awaiting;
    return handle_;
  }
  T await_resume() { return handle_.promise().Take(); }

  // For the owner of a top-level task: runs it until its first wait (or its end).
  void Start() {
    if (handle_ && !handle_.done()) handle_.resume();
  }
  bool Valid() const { return static_cast<bool>(handle_); }
  // Started and now waiting for something.
  bool Suspended() const { return handle_ && !handle_.done(); }
  bool Done() const { return handle_ && handle_.done(); }
  // The value of a task that is done; rethrows what it raised.
  T Result() { return handle_.promise().Take(); }
  // Drops the task, and with it any work it is suspended in.
  void Reset() {
    if (handle_) std::exchange(handle_, {}).destroy();
  }

 private:
  Handle handle_;
};

namespace task_detail {

template <typename T>
Task<T> Promise<T>::get_return_object() noexcept {
  return Task<T>(std::coroutine_handle<Promise<T>>::from_promise(*this));
}

inline Task<void> Promise<void>::get_return_object() noexcept {
  return Task<void>(std::coroutine_handle<Promise<void>>::from_promise(*this));
}

}  // namespace task_detail

}  // namespace qmb
