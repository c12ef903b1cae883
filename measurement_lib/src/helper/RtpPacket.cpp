#include "helper/RtpPacket.h"

namespace trevask::measurement_library {

rtp_packet_t::rtp_packet_t(kaitai::kstream* p__io, kaitai::kstruct* p__parent, rtp_packet_t* p__root)
    : kaitai::kstruct(p__io), m__root(p__root != nullptr ? p__root : this), m__parent(p__parent) {
    _read();
}

rtp_packet_t::~rtp_packet_t() = default;

void rtp_packet_t::_read() {
    m_version = m__io->read_bits_int_be(2);
    m_has_padding = m__io->read_bits_int_be(1) != 0;
    m_has_extension = m__io->read_bits_int_be(1) != 0;
    m_csrc_count = m__io->read_bits_int_be(4);
    m_marker = m__io->read_bits_int_be(1) != 0;
    m_payload_type = static_cast<payload_type_enum_t>(m__io->read_bits_int_be(7));
    m__io->align_to_byte();
    m_sequence_number = m__io->read_u2be();
    m_timestamp = m__io->read_u4be();
    m_ssrc = m__io->read_u4be();
    if (m_has_extension) m_header_extension = std::make_unique<header_extention_t>(m__io, this, m__root);
    const auto remaining = static_cast<int64_t>(m__io->size()) - static_cast<int64_t>(m__io->pos());
    m_data = m__io->read_bytes(remaining - len_padding());
    m_padding = m__io->read_bytes(len_padding());
}

uint8_t rtp_packet_t::len_padding_if_exists() {
    if (f_len_padding_if_exists) return m_len_padding_if_exists;
    const uint64_t saved = m__io->pos();
    // An empty stream has no last byte: reading at "size - 1" is past the end.
    if (m__io->size() == 0) throw kaitai::end_of_stream_error("no last byte in an empty datagram");
    m__io->seek(m__io->size() - 1);
    m_len_padding_if_exists = m__io->read_u1();
    m__io->seek(saved);
    f_len_padding_if_exists = true;
    return m_len_padding_if_exists;
}

int32_t rtp_packet_t::len_padding() {
    if (f_len_padding) return m_len_padding;
    m_len_padding = m_has_padding ? static_cast<int32_t>(len_padding_if_exists()) : 0;
    f_len_padding = true;
    return m_len_padding;
}

rtp_packet_t::header_extention_t::header_extention_t(kaitai::kstream* p__io, rtp_packet_t* p__parent,
                                                     rtp_packet_t* p__root)
    : kaitai::kstruct(p__io), m__root(p__root), m__parent(p__parent) {
    m_id = m__io->read_u2be();
    m_length = m__io->read_u2be();
}

}  // namespace trevask::measurement_library
