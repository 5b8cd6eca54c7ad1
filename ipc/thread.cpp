#include "ipc/thread.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <new>
#include <system_error>
#include <thread>

#include "base/alloc.h"

namespace zo {

struct thread::impl {
    std::thread th;
};

thread::~thread() {
    stop();
}

bool thread::start() {
    if (thread_) return false;
    void* mem = zo_alloc(sizeof(impl));
    if (!mem) return false;
    impl* p = new (mem) impl;
    stopflag.store(0, std::memory_order_release);
    try {
        p->th = std::thread(&thread::threadmain, this);
    } catch (const std::system_error&) {
        // No failure path exists above us; the caller sees false and the
        // object stays "not started".
        p->~impl();
        zo_free(mem);
        return false;
    }
    thread_ = p;
    return true;
}

void thread::stop() {
    if (!thread_) return;
    stopflag.store(1, std::memory_order_release);
    if (thread_->th.joinable()) thread_->th.join();
    thread_->~impl();
    zo_free(thread_);
    thread_ = nullptr;
    // The worker already cleared it on its way out; clearing again keeps the
    // object restartable whatever the worker did.
    stopflag.store(0, std::memory_order_release);
}

void thread::threadmain(thread* self) {
    self->tid.store(static_cast<uint32_t>(::syscall(SYS_gettid)), std::memory_order_release);
    self->running.store(1, std::memory_order_release);
    do {
        self->run();
    } while (self->stopflag.load(std::memory_order_acquire) == 0);
    self->stopflag.store(0, std::memory_order_release);
    self->running.store(0, std::memory_order_release);
}

}  // namespace zo
