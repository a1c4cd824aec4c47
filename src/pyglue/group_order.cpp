#include "pyglue/pyref.hpp"  // includes Python.h first

#include "pyglue/group_order.hpp"

#include <cmath>

namespace vellkit::py {

bool group_set_order(const std::vector<GroupTally>& tallies, std::vector<int32_t>& order) {
    Ref members = Ref::check(PySet_New(nullptr));
    for (const GroupTally& t : tallies) {
        Ref value = Ref::check(t.real ? PyFloat_FromDouble(t.value) : PyLong_FromLongLong((long long)t.value));
        if (PySet_Add(members.get(), value.get()) < 0) throw PyError();
    }
    Ref it = Ref::check(PyObject_GetIter(members.get()));
    for (;;) {
        Ref member = Ref::steal(PyIter_Next(it.get()));
        if (!member) {
            if (PyErr_Occurred()) throw PyError();
            return true;
        }
        PyObject* m = member.get();
        const double d = PyFloat_Check(m) ? std::trunc(PyFloat_AS_DOUBLE(m)) : (double)PyLong_AsLongLong(m);
        if (!(d >= INT32_MIN && d <= INT32_MAX)) return false;
        order.push_back((int32_t)d);
    }
}

}  // namespace vellkit::py
