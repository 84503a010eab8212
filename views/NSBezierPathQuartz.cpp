#include "NSBezierPathQuartz.h"

namespace NSBezierPathQuartz {

std::optional<QPainterPath> quartzPath(const QPainterPath& path) {
    if (path.elementCount() == 0) return std::nullopt;
    QPainterPath result;
    QPointF figureStart;
    bool closed = true;  // a path of moves alone has nothing to close
    for (int i = 0; i < path.elementCount(); ++i) {
        const QPainterPath::Element& element = path.elementAt(i);
        switch (element.type) {
        case QPainterPath::MoveToElement:
            result.moveTo(element);
            figureStart = element;
            break;
        case QPainterPath::LineToElement:
            result.lineTo(element);
            // Qt writes a closed figure as a line back to its start.
            closed = QPointF(element) == figureStart;
            break;
        case QPainterPath::CurveToElement:
            if (i + 2 < path.elementCount()) {
                result.cubicTo(element, path.elementAt(i + 1), path.elementAt(i + 2));
                closed = QPointF(path.elementAt(i + 2)) == figureStart;
                i += 2;
            }
            break;
        case QPainterPath::CurveToDataElement:
            break;  // read with its curve
        }
    }
    if (!closed) result.closeSubpath();
    return result;
}

}  // namespace NSBezierPathQuartz
