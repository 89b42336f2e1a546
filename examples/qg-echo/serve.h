#pragma once
// qg-echo's loop, the same on every system: take each request from the
// application library, and answer it from the worker pool when it is due.

#include <quillgate/app.h>

#include <atomic>

#include "options.h"

namespace qgecho {

// Serves until `stopping` is set (and qga_interrupt called); returns the exit
// status. Answers in progress are finished before it returns; answers still
// waiting for their due time are given up.
int serve(qga_dir* dir, const Options& options, const std::atomic<bool>& stopping);

}  // namespace qgecho
