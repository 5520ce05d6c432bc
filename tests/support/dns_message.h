/*
 * dns_message.h -- building and reading DNS wire messages in tests: a
 * query, an answer to a given query with chosen records, and a reader for
 * the header, the first question and the answer records.
 *
 * Written by hand for the tests; the reader rejects what it cannot walk
 * (std::nullopt) and never reads past the end of its input.
 */
#ifndef QIL_TEST_DNS_MESSAGE_H
#define QIL_TEST_DNS_MESSAGE_H

#include <stdint.h>

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qiltest::dns {

using Bytes = std::vector<uint8_t>;

enum : uint16_t {
	TYPE_A = 1,
	TYPE_CNAME = 5,
	TYPE_PTR = 12,
	TYPE_TXT = 16,
	TYPE_AAAA = 28,
	CLASS_IN = 1,
};

enum : uint16_t {
	FLAG_QR = 0x8000,
	FLAG_TC = 0x0200,
	FLAG_RD = 0x0100,
	FLAG_RA = 0x0080,
};

constexpr size_t HEADER_SIZE = 12;

/* One resource record of an answer section: its type and its data. */
struct Record {
	uint16_t type = 0;
	Bytes rdata;
};

/* "www.example.com" as length-prefixed labels ending in the root label. */
Bytes encode_name(std::string_view name);

/* A query with one question of class IN. */
Bytes build_query(uint16_t id, std::string_view name, uint16_t qtype, bool rd = true);

/* Records for build_answer(); the text forms as inet_pton() and
 * encode_name() take them. An address that does not convert throws. */
Record a_record(std::string_view dotted);
Record aaaa_record(std::string_view text);
Record cname_record(std::string_view target);
Record ptr_record(std::string_view target);
/* A TXT record whose data is `size` bytes: strings of at most 255 'x'. */
Record txt_record(size_t size);

/*
 * An answer to `query`: its ID and question copied, QR (and RA) set, RD
 * kept, and `answers` appended with the owner name pointing at the first
 * question (or the root name when the query has none).
 */
Bytes build_answer(std::span<const uint8_t> query, const std::vector<Record> &answers,
                   uint32_t ttl = 60);

/* Header fields; 0 when the message is shorter than a header. */
uint16_t message_id(std::span<const uint8_t> msg);
uint16_t message_flags(std::span<const uint8_t> msg);
uint16_t message_qdcount(std::span<const uint8_t> msg);
uint16_t message_ancount(std::span<const uint8_t> msg);

/* A copy of the query `q` with an EDNS record (OPT) announcing `udp_size`
 * appended to its additional section. */
Bytes with_edns(std::span<const uint8_t> q, uint16_t udp_size);

/* The UDP size of the EDNS record (OPT) of the additional section, or
 * nullopt when there is none or the message cannot be walked. */
std::optional<uint16_t> edns_udp_size(std::span<const uint8_t> msg);

/* An EDNS record (OPT) as tests write and read it. */
struct Opt {
	uint16_t size = 4096;
	uint8_t ext_rcode = 0;
	uint8_t version = 0;
	uint16_t flags = 0; /* 0x8000: DO */
	std::vector<std::pair<uint16_t, Bytes>> options; /* code, data */
	/* The data of the first option `code`, or nullopt. */
	std::optional<Bytes> option(uint16_t code) const;
};

/* A copy of the message `m` with `opt` appended to its additional section. */
Bytes with_opt(std::span<const uint8_t> m, const Opt &opt);
/* A copy of the message `m` with a record of `type` (no data, root owner)
 * appended to its additional section. */
Bytes with_additional(std::span<const uint8_t> m, uint16_t type);
/* The first OPT record of the message, or nullopt when there is none or
 * the message cannot be walked. */
std::optional<Opt> opt_record(std::span<const uint8_t> msg);

/* What an upstream sends a client over UDP: `answer` as it is when it
 * fits the client's EDNS size (512 without one), else its header and
 * question with TC set. */
Bytes fit_datagram(std::span<const uint8_t> query, Bytes answer);

/* A copy of `msg` with its ID replaced. */
Bytes with_id(std::span<const uint8_t> msg, uint16_t id);

struct Question {
	std::string name; /* dotted, without the final dot; "" for the root */
	uint16_t qtype = 0;
	uint16_t qclass = 0;
};

/* The first question, or nullopt when there is none or it is malformed. */
std::optional<Question> first_question(std::span<const uint8_t> msg);

/* The records of the answer section, or nullopt when the message cannot
 * be walked that far. */
std::optional<std::vector<Record>> answer_records(std::span<const uint8_t> msg);

/* The dotted addresses of the A records of the answer section, in order
 * (empty when there are none or the message is malformed). */
std::vector<std::string> answer_addresses(std::span<const uint8_t> msg);

} // namespace qiltest::dns

#endif
