#pragma once
// How velmora._native runs native work: every call that may take long (the
// dense builds, the forward model's tables) goes through RunServed.
//
// - The interpreter lock is released and the work runs on one of the module's
//   build threads (kept between calls, so each keeps its OpenMP team; a forked
//   child starts threads of its own).
// - Meanwhile the calling thread takes the lock back every few milliseconds to
//   check for signals and, with a progress callback, to call it once per row of
//   work. An exception from either cancels the request (its work stops at the
//   next work item) and is handed back in *pending once the work has stopped.
// - Without a thread to be had, the work runs on the calling thread, without
//   signal checks.
#include <nanobind/nanobind.h>

#include <functional>
#include <optional>

#include "build_request.h"

namespace velmora_binding {

// Runs `work` for `request` (whose hook it sets for the call) as above and
// returns its result. `rows` is the number of rows the progress callback
// counts; `progress` may be None.
bool RunServed(TORVEN_BuildRequest& request, nanobind::object progress, int rows,
               const std::function<bool(TORVEN_BuildRequest&)>& work,
               std::optional<nanobind::python_error>* pending);

}   // namespace velmora_binding
