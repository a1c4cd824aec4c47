#include "bindings/common/arrays.hpp"

#include <cstring>

namespace vellkit::py {

Ref np_empty(ModuleState* st, PyObject* shape, PyObject* dtype) {
    // numpy.empty takes the vector call: no argument tuple to build.
    PyObject* args[2] = {shape, dtype};
#if PY_VERSION_HEX >= 0x03090000
    return Ref::check(PyObject_Vectorcall(st->np_empty, args, 2, nullptr));
#else
    return Ref::check(_PyObject_Vectorcall(st->np_empty, args, 2, nullptr));
#endif
}

Ref np_zeros(ModuleState* st, PyObject* shape, PyObject* dtype) {
    return Ref::check(PyObject_CallFunctionObjArgs(st->np_zeros, shape, dtype, nullptr));
}

Ref linspace(ModuleState* st, double start, double stop, long long num) {
    Ref length = new_int(num);
    Ref axis = np_empty(st, length.get(), st->np_float64);
    if (num == 0) return axis;
    WritableView view(axis.get());
    auto* y = static_cast<double*>(view.data());
    const long long div = num - 1;
    const double delta = stop - start;
    if (div > 0) {
        const double step = delta / (double)div;
        // Doubles hold every index exactly (num < 2^53); four counters keep
        // the additions independent so the loop runs at full width.
        const double div_d = (double)div;
        long long i = 0;
        double i0 = 0.0, i1 = 1.0, i2 = 2.0, i3 = 3.0;
        if (step == 0) {
            for (; i + 4 <= num; i += 4, i0 += 4.0, i1 += 4.0, i2 += 4.0, i3 += 4.0) {
                y[i] = (i0 / div_d) * delta + start;
                y[i + 1] = (i1 / div_d) * delta + start;
                y[i + 2] = (i2 / div_d) * delta + start;
                y[i + 3] = (i3 / div_d) * delta + start;
            }
            for (; i < num; ++i, i0 += 1.0) y[i] = (i0 / div_d) * delta + start;
        } else {
            for (; i + 4 <= num; i += 4, i0 += 4.0, i1 += 4.0, i2 += 4.0, i3 += 4.0) {
                y[i] = i0 * step + start;
                y[i + 1] = i1 * step + start;
                y[i + 2] = i2 * step + start;
                y[i + 3] = i3 * step + start;
            }
            for (; i < num; ++i, i0 += 1.0) y[i] = i0 * step + start;
        }
        y[num - 1] = stop;
    } else {
        y[0] = 0.0 * delta + start;
    }
    return axis;
}

}  // namespace vellkit::py
