#include "fec/rx_error.hpp"

namespace kavro::fec {

std::string error_message(const RxError& error) {
    switch (error) {
        case RxError::NoPreamble: return "no preamble found";
        case RxError::MalformedHeader: return "malformed frame header";
        case RxError::HeaderCrcMismatch: return "header CRC mismatch";
        case RxError::PayloadCrcMismatch: return "payload CRC mismatch";
        case RxError::FecUncorrectable: return "FEC uncorrectable";
    }
    return "unknown receive error";
}

}  // namespace kavro::fec
