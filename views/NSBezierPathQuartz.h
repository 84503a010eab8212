#pragma once
// A path handed on to the code that draws or clips with it (the window's
// mask), with its last figure closed. Any thread.

#include <optional>

#include <QPainterPath>

namespace NSBezierPathQuartz {

// The path's moves, lines and curves in order, its last figure closed when
// it was left open; none for an empty path.
std::optional<QPainterPath> quartzPath(const QPainterPath& path);

}  // namespace NSBezierPathQuartz
