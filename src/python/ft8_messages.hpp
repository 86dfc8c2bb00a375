#pragma once

#include <array>
#include <string>
#include <tuple>

#include "message/message.hpp"
#include "python/binding/result.hpp"

namespace kavro::python::binding {

// The dict shapes of ft8_unpack, one per message kind.
template <>
struct DictFields<message::Standard> {
    static constexpr std::array<const char*, 4> keys{"type", "call_to", "call_de", "extra"};
    static auto values(const message::Standard& m) {
        return std::tuple(std::string("standard"), m.call_to, m.call_de, message::gridfield_to_str(m.extra));
    }
};

template <>
struct DictFields<message::NonStd> {
    static constexpr std::array<const char*, 4> keys{"type", "call_to", "call_de", "extra"};
    static auto values(const message::NonStd& m) {
        static constexpr const char* tokens[] = {"RRR", "RR73", "73", ""};
        return std::tuple(std::string("nonstd"), m.hashed, m.full, std::string(tokens[m.token & 3u]));
    }
};

template <>
struct DictFields<message::FreeText> {
    static constexpr std::array<const char*, 2> keys{"type", "text"};
    static auto values(const message::FreeText& m) { return std::tuple(std::string("free_text"), m.text); }
};

template <>
struct DictFields<message::Telemetry> {
    static constexpr std::array<const char*, 2> keys{"type", "data"};
    static auto values(const message::Telemetry& m) {
        return std::tuple(std::string("telemetry"), ByteString{{m.data.begin(), m.data.end()}});
    }
};

template <>
struct DictFields<message::Unknown> {
    static constexpr std::array<const char*, 2> keys{"type", "payload"};
    static auto values(const message::Unknown& m) {
        return std::tuple(std::string("unknown"), ByteString{{m.payload.begin(), m.payload.end()}});
    }
};

}  // namespace kavro::python::binding
