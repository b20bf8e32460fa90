// Test-only entry points register themselves here from static initialisers, so each subsystem's
// test entries live in their own file and nothing lists them centrally.
#pragma once

#include "py/entry.hpp"

#include <deque>

namespace quib::testing {

// Stable addresses: the interpreter keeps pointers to the rows.
std::deque<PyMethodDef>& registry();

struct Registration {
    explicit Registration(PyMethodDef definition) { registry().push_back(definition); }
};

}  // namespace quib::testing

#define QUIB_TESTING_CONCAT2(a, b) a##b
#define QUIB_TESTING_CONCAT(a, b) QUIB_TESTING_CONCAT2(a, b)
// Registers one row of the _quib_testing method table.
#define QUIB_TESTING_FUNCTION(definition) \
    static ::quib::testing::Registration QUIB_TESTING_CONCAT(quib_testing_registration_, __LINE__){definition}
