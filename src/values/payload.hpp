// How one leaf value of the non-native path is written, chosen before anything is written.
#pragma once

#include "py/ref.hpp"

#include <cstddef>
#include <cstdint>

namespace quib::values {

struct Payload {
    enum class Kind : std::uint8_t {
        Object,      // `object` is a str (written as its UTF-8) or bytes, as extension `type`
        Scratch,     // bytes [offset, offset + length) of the encoder's scratch text, as `type`
        OverBudget,  // the value cannot fit: record the budget error
    };
    Kind kind = Kind::Object;
    std::int8_t type = 0;
    py::Ref object;
    std::size_t offset = 0;
    std::size_t length = 0;

    static Payload text(py::Ref object, std::int8_t type) {
        Payload payload;
        payload.object = std::move(object);
        payload.type = type;
        return payload;
    }
};

}  // namespace quib::values
