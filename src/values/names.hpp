// Every Python name the value encoder looks up, interned once per process.
#pragma once

#include "py/interned.hpp"

namespace quib::values::names {

// Globals of the host module quib.serialize.
inline py::InternedName DATETIME{"datetime"};
inline py::InternedName DATE{"date"};
inline py::InternedName TIME{"time"};
inline py::InternedName DECIMAL{"Decimal"};
inline py::InternedName DATABASE_ACCESS_BLOCKED{"DatabaseAccessBlocked"};
inline py::InternedName QUERY_FREE_REPR{"_query_free_repr"};
inline py::InternedName QUERYSET_CHECKED{"_QuerySet_checked"};
inline py::InternedName QUERYSET{"_QuerySet"};
inline py::InternedName GET_QUERYSET_CLASS{"_get_queryset_class"};
inline py::InternedName OBJECTS_UNDER_CONSTRUCTION{"_objects_under_construction"};
inline py::InternedName UNDER_CONSTRUCTION_REPR{"_under_construction_repr"};
inline py::InternedName METHOD_UNDER_CONSTRUCTION_REPR{"_method_under_construction_repr"};
inline py::InternedName IN_QUIB_PROFILER{"IN_QUIB_PROFILER"};

// Attributes and methods of values.
inline py::InternedName ISOFORMAT{"isoformat"};
inline py::InternedName BIT_LENGTH{"bit_length"};
inline py::InternedName TO_BYTES{"to_bytes"};
inline py::InternedName ENCODE{"encode"};
inline py::InternedName RESULT_CACHE{"_result_cache"};
inline py::InternedName MODEL{"model"};
inline py::InternedName CLASS{"__class__"};
inline py::InternedName QUALNAME{"__qualname__"};
inline py::InternedName NAME{"__name__"};
inline py::InternedName MODULE{"__module__"};
inline py::InternedName NBYTES{"nbytes"};

// Constant texts passed as arguments.
inline py::InternedName UTF8{"utf-8"};
inline py::InternedName BACKSLASHREPLACE{"backslashreplace"};
inline py::InternedName SURROGATEPASS{"surrogatepass"};
inline py::InternedName BIG{"big"};

}  // namespace quib::values::names
