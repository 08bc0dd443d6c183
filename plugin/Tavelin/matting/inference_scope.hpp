// The scope every network call runs in: `with torch.no_grad(),
// torch.jit.optimized_execution(False):`, always left.
//
// TorchScript's executor profiles a graph on its first call and rebuilds it
// on the second, per method; for these networks the rebuilt graphs run the
// same operators no faster, and building them was most of a load's warm-up
// (0.95 -> 0.3 s) and of the first render down a new path. The flag is the
// calling thread's own and is restored on leaving: the host's other calls
// into torch keep their setting.
#pragma once

#include "../runtime/boundary.hpp"

namespace tavelin {

// A Python context manager entered for the lifetime of the object.
class ContextScope {
  public:
    ContextScope(py::object context, const char *what) : context_(std::move(context)), what_(what) {
        context_.attr("__enter__")();
        entered_ = true;
    }
    // Leaves the scope normally; errors from __exit__ propagate.
    void exit() {
        if (!entered_) return;
        entered_ = false;
        context_.attr("__exit__")(py::none(), py::none(), py::none());
    }
    // Leaving because an exception is on its way out: the setting is restored
    // and that exception stays the one that propagates.
    ~ContextScope() {
        if (!entered_) return;
        try {
            exit();
        } catch (py::error_already_set &e) {
            e.discard_as_unraisable(what_);
        } catch (...) {
        }
    }
    ContextScope(const ContextScope &) = delete;
    ContextScope &operator=(const ContextScope &) = delete;

  private:
    py::object context_;
    const char *what_;
    bool entered_ = false;
};

class InferenceScope {
  public:
    // Members are entered in order and left in reverse, also when entering the
    // second one fails.
    explicit InferenceScope(py::handle torch)
        : no_grad_(torch.attr("no_grad")(), "leaving torch.no_grad()"),
          unoptimised_(torch.attr("jit").attr("optimized_execution")(false),
                       "leaving torch.jit.optimized_execution(False)") {}
    void exit() {
        unoptimised_.exit();
        no_grad_.exit();
    }

  private:
    ContextScope no_grad_;
    ContextScope unoptimised_;
};

}  // namespace tavelin
