#pragma once
// Placeholder until the controller lands: the handle of one core thread and
// the bookkeeping of runs that the controller keeps in the core record.

namespace velmor {

struct CoreThreadHandle {};
struct CoreRunBook {};

}  // namespace velmor
