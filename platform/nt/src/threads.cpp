// The kernel's threads as the scheduler runs them: deferred work, waits, and the state each
// simulated thread carries.
#include <nt/kernel.hpp>
#include <nt/sched.hpp>

namespace nt {

void Kernel::defer(std::function<void()> work)
{
    sync(&deferred_, true);
    deferred_.push_back(DeferredWork{std::move(work), irql_});
}

bool Kernel::runOneDeferred()
{
    if (deferred_.empty()) return false;
    DeferredWork item = std::move(deferred_.front());
    deferred_.pop_front();
    // Deferred work stands for another processor: the routines this thread is inside (one may be
    // waiting for this very work) do not own the requests it completes. A marker hides them from
    // the verifier's ownership checks while it runs.
    // Whatever a routine of this thread wrote to requests it had passed on is judged before
    // the other context may legitimately change them.
    checkAllAfterPass();
    const size_t depth = activations_.size();
    activations_.push_back(Activation{nullptr, 0, nullptr});
    item.work();
    activations_.resize(depth);
    return true;
}

void Kernel::drain()
{
    while (runOneDeferred()) {
    }
}

void Kernel::schedulerPoint() { scheduler_->point(); }

void Kernel::waitForRequest(PIRP irp)
{
    if (scheduler_ == nullptr || !scheduler_->inThread()) {
        drain();
        return;
    }
    // Done once the request is completed, or once no pended work is left that could complete
    // it (the caller then reports a request never completed).
    scheduler_->blockUntil([this, irp] {
        return isCompleted(irp) || (deferred_.empty() && !deferredRunning_);
    });
    sync(irp, false);
}

void Kernel::waitUntil(std::function<bool()> ready)
{
    if (scheduler_ != nullptr && scheduler_->inThread()) scheduler_->blockUntil(std::move(ready));
}

void Kernel::runDeferredWork()
{
    for (;;) {
        scheduler_->blockUntil([this] { return !deferred_.empty(); });
        if (deferred_.empty()) return;  // told to stop
        sync(&deferred_, false);
        deferredRunning_ = true;
        deferredThread_ = scheduler_->current();
        DeferredWork item = std::move(deferred_.front());
        deferred_.pop_front();
        const KIRQL saved = irql_;
        irql_ = item.irql;
        item.work();
        irql_ = saved;
        deferredRunning_ = false;
        deferredThread_ = -1;
    }
}

int Kernel::currentThread() const
{
    return scheduler_ != nullptr ? scheduler_->current() : -1;
}

bool Kernel::runningDeferredHere() const
{
    return deferredRunning_ && scheduler_ != nullptr && scheduler_->current() == deferredThread_;
}

void Kernel::exchangeThreadState(ThreadState& state)
{
    activations_.swap(state.activations);
    snapshots_.swap(state.snapshots);
    std::swap(irql_, state.irql);
    std::swap(criticalRegion_, state.criticalRegion);
}

}  // namespace nt
