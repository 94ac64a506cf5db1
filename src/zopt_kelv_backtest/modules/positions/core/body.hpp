// Function bodies that name their parameters.
//
//     ZK_BODY(pos_set_initial_capital, capital) { ... capital ... }
//
// defines `pos_set_initial_capital(self, args)`, the Body a table row holds,
// which hands args[0] on as `capital`. The names are recorded with the body;
// make_function (at module exec) compares them with the table row's
// parameters, so a row and its body cannot disagree on count or order
// without failing the import.
#pragma once

#include "core/native_function.hpp"

#include <cstddef>
#include <utility>

namespace zk {

// The parameter names a body reads, as written in its ZK_BODY line.
struct BodyParams {
    BodyParams(Body body, const char* names);
    Body body;
    const char* names;  // "a, b, c", or "" when none
    BodyParams* next;   // every body of the extension, in one list
};
// The names recorded for `body`, or null when it has none.
const char* body_params(Body body);

template <std::size_t N, class F>
py::object call_named(F f, py::handle self, [[maybe_unused]] const py::handle* args) {
    return [&]<std::size_t... I>(std::index_sequence<I...>) { return f(self, args[I]...); }(
        std::make_index_sequence<N>{});
}

}  // namespace zk

#define ZK_PARAM_(name) [[maybe_unused]] py::handle name
#define ZK_PARAMS_1(a) ZK_PARAM_(a)
#define ZK_PARAMS_2(a, ...) ZK_PARAM_(a), ZK_PARAMS_1(__VA_ARGS__)
#define ZK_PARAMS_3(a, ...) ZK_PARAM_(a), ZK_PARAMS_2(__VA_ARGS__)
#define ZK_PARAMS_4(a, ...) ZK_PARAM_(a), ZK_PARAMS_3(__VA_ARGS__)
#define ZK_PARAMS_5(a, ...) ZK_PARAM_(a), ZK_PARAMS_4(__VA_ARGS__)
#define ZK_PARAMS_6(a, ...) ZK_PARAM_(a), ZK_PARAMS_5(__VA_ARGS__)
#define ZK_PARAMS_7(a, ...) ZK_PARAM_(a), ZK_PARAMS_6(__VA_ARGS__)
#define ZK_PARAMS_8(a, ...) ZK_PARAM_(a), ZK_PARAMS_7(__VA_ARGS__)
#define ZK_COUNT_(_0, _1, _2, _3, _4, _5, _6, _7, _8, n, ...) n
#define ZK_COUNT(...) ZK_COUNT_(0 __VA_OPT__(, ) __VA_ARGS__, 8, 7, 6, 5, 4, 3, 2, 1, 0)
#define ZK_CAT_(a, b) a##b
#define ZK_CAT(a, b) ZK_CAT_(a, b)
#define ZK_PARAMS(...) ZK_CAT(ZK_PARAMS_, ZK_COUNT(__VA_ARGS__))(__VA_ARGS__)

#define ZK_BODY(fn, ...)                                                                               \
    static py::object fn##_named([[maybe_unused]] py::handle self __VA_OPT__(, ZK_PARAMS(__VA_ARGS__)));  \
    py::object fn(py::handle self, const py::handle* args) {                                           \
        return ::zk::call_named<ZK_COUNT(__VA_ARGS__)>(fn##_named, self, args);                        \
    }                                                                                                  \
    static const ::zk::BodyParams fn##_params(fn, "" #__VA_ARGS__);                                   \
    static py::object fn##_named([[maybe_unused]] py::handle self __VA_OPT__(, ZK_PARAMS(__VA_ARGS__)))
