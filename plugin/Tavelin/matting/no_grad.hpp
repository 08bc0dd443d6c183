// `with torch.no_grad():` as a scope object that always leaves the scope.
#pragma once

#include "../runtime/boundary.hpp"

namespace tavelin {

class NoGradScope {
  public:
    explicit NoGradScope(py::handle torch) : context_(torch.attr("no_grad")()) {
        context_.attr("__enter__")();
        entered_ = true;
    }
    // Leaves the scope normally; errors from __exit__ propagate.
    void exit() {
        if (!entered_) return;
        entered_ = false;
        context_.attr("__exit__")(py::none(), py::none(), py::none());
    }
    // Leaving because an exception is on its way out: the gradient mode is
    // restored and that exception stays the one that propagates.
    ~NoGradScope() {
        if (!entered_) return;
        try {
            exit();
        } catch (py::error_already_set &e) {
            e.discard_as_unraisable("leaving torch.no_grad()");
        } catch (...) {
        }
    }
    NoGradScope(const NoGradScope &) = delete;
    NoGradScope &operator=(const NoGradScope &) = delete;

  private:
    py::object context_;
    bool entered_ = false;
};

}  // namespace tavelin
