#include "platform/text_outline_freetype.h"

#include <algorithm>
#include <cmath>

namespace platform {
namespace {

struct Flattener {
    double canvas_height;
    double x, y;
    ScratchArray<Edge>* edges;
    bool failed;
};

void AddEdge(Flattener* f, double x, double y) {
    if (y != f->y && !f->edges->Push(Edge{f->x, f->y, x, y})) f->failed = true;
    f->x = x;
    f->y = y;
}

double CanvasX(const FT_Vector* v) {
    return double(v->x) / 64.0;
}
double CanvasY(const Flattener* f, const FT_Vector* v) {
    return f->canvas_height - double(v->y) / 64.0;
}

int SegmentCount(double deviation) {
    double n = std::ceil(std::sqrt(deviation / kFlatness));
    return n < 1.0 ? 1 : (n > kMaxCurveSegments ? kMaxCurveSegments : int(n));
}

int FlattenMoveTo(const FT_Vector* to, void* user) {
    Flattener* f = static_cast<Flattener*>(user);
    f->x = CanvasX(to);
    f->y = CanvasY(f, to);
    return 0;
}

int FlattenLineTo(const FT_Vector* to, void* user) {
    Flattener* f = static_cast<Flattener*>(user);
    AddEdge(f, CanvasX(to), CanvasY(f, to));
    return f->failed ? 1 : 0;
}

int FlattenConicTo(const FT_Vector* control, const FT_Vector* to, void* user) {
    Flattener* f = static_cast<Flattener*>(user);
    double x0 = f->x, y0 = f->y;
    double x1 = CanvasX(control), y1 = CanvasY(f, control);
    double x2 = CanvasX(to), y2 = CanvasY(f, to);
    int n = SegmentCount(std::hypot(x0 - 2 * x1 + x2, y0 - 2 * y1 + y2) / 4);
    for (int i = 1; i <= n; ++i) {
        double t = double(i) / n, s = 1 - t;
        AddEdge(f, s * s * x0 + 2 * s * t * x1 + t * t * x2,
                s * s * y0 + 2 * s * t * y1 + t * t * y2);
    }
    return f->failed ? 1 : 0;
}

int FlattenCubicTo(const FT_Vector* c1, const FT_Vector* c2, const FT_Vector* to, void* user) {
    Flattener* f = static_cast<Flattener*>(user);
    double x0 = f->x, y0 = f->y;
    double x1 = CanvasX(c1), y1 = CanvasY(f, c1);
    double x2 = CanvasX(c2), y2 = CanvasY(f, c2);
    double x3 = CanvasX(to), y3 = CanvasY(f, to);
    double deviation = std::max(std::hypot(x0 - 2 * x1 + x2, y0 - 2 * y1 + y2),
                                std::hypot(x1 - 2 * x2 + x3, y1 - 2 * y2 + y3)) *
                       0.75;
    int n = SegmentCount(deviation);
    for (int i = 1; i <= n; ++i) {
        double t = double(i) / n, s = 1 - t;
        double a = s * s * s, b = 3 * s * s * t, c = 3 * s * t * t, d = t * t * t;
        AddEdge(f, a * x0 + b * x1 + c * x2 + d * x3, a * y0 + b * y1 + c * y2 + d * y3);
    }
    return f->failed ? 1 : 0;
}

}  // namespace

bool FlattenOutline(FT_Outline* outline, int32_t canvas_height, ScratchArray<Edge>* edges) {
    static const FT_Outline_Funcs kFuncs = {
        FlattenMoveTo, FlattenLineTo, FlattenConicTo, FlattenCubicTo, 0, 0};
    edges->count = 0;
    Flattener f = {double(canvas_height), 0, 0, edges, false};
    return FT_Outline_Decompose(outline, &kFuncs, &f) == 0 && !f.failed;
}

}  // namespace platform
