/*
 * dns_message.cc -- DNS wire messages for tests.
 */
#include <algorithm>
#include <stdexcept>

#include "dns_message.h"
#include "odr.h"
#include "vdns.h"

namespace qiltest::dns {

static void
dns_put16(Bytes &b, uint16_t v)
{
	b.push_back(static_cast<uint8_t>(v >> 8));
	b.push_back(static_cast<uint8_t>(v & 0xff));
}

static void
dns_put32(Bytes &b, uint32_t v)
{
	dns_put16(b, static_cast<uint16_t>(v >> 16));
	dns_put16(b, static_cast<uint16_t>(v & 0xffff));
}

static uint16_t
dns_get16(std::span<const uint8_t> msg, size_t off)
{
	if (off + 2 > msg.size())
		return 0;
	return static_cast<uint16_t>(msg[off] << 8 | msg[off + 1]);
}

Bytes
encode_name(std::string_view name)
{
	Bytes out;
	while (!name.empty()) {
		size_t dot = name.find('.');
		std::string_view label = name.substr(0, dot);
		if (label.empty() || label.size() > 63)
			throw std::invalid_argument("bad label in name");
		out.push_back(static_cast<uint8_t>(label.size()));
		out.insert(out.end(), label.begin(), label.end());
		if (dot == std::string_view::npos)
			break;
		name.remove_prefix(dot + 1);
	}
	out.push_back(0);
	return out;
}

Bytes
build_query(uint16_t id, std::string_view name, uint16_t qtype, bool rd)
{
	Bytes q;
	dns_put16(q, id);
	dns_put16(q, rd ? FLAG_RD : 0);
	dns_put16(q, 1); /* QDCOUNT */
	dns_put16(q, 0);
	dns_put16(q, 0);
	dns_put16(q, 0);
	Bytes n = encode_name(name);
	q.insert(q.end(), n.begin(), n.end());
	dns_put16(q, qtype);
	dns_put16(q, CLASS_IN);
	return q;
}

Record
a_record(std::string_view dotted)
{
	Record r{TYPE_A, Bytes(4)};
	if (inet_pton(AF_INET, std::string(dotted).c_str(), r.rdata.data()) != 1)
		throw std::invalid_argument("bad IPv4 address");
	return r;
}

Record
aaaa_record(std::string_view text)
{
	Record r{TYPE_AAAA, Bytes(16)};
	if (inet_pton(AF_INET6, std::string(text).c_str(), r.rdata.data()) != 1)
		throw std::invalid_argument("bad IPv6 address");
	return r;
}

Record
cname_record(std::string_view target)
{
	return Record{TYPE_CNAME, encode_name(target)};
}

Record
ptr_record(std::string_view target)
{
	return Record{TYPE_PTR, encode_name(target)};
}

Record
txt_record(size_t size)
{
	Record r{TYPE_TXT, {}};
	while (r.rdata.size() < size) {
		size_t l = std::min<size_t>(size - r.rdata.size() - 1, 255);
		r.rdata.push_back(static_cast<uint8_t>(l));
		r.rdata.insert(r.rdata.end(), l, 'x');
	}
	return r;
}

/*
 * Reads the name at `off`, following compression pointers (a bounded
 * number of them). Returns the offset just past the name where it starts,
 * or nullopt when it runs off the message.
 */
static std::optional<size_t>
dns_read_name(std::span<const uint8_t> msg, size_t off, std::string *out)
{
	std::optional<size_t> end;
	std::string name;
	for (int hops = 0; hops < 32;) {
		if (off >= msg.size())
			return std::nullopt;
		uint8_t len = msg[off];
		if ((len & 0xc0) == 0xc0) {
			if (off + 2 > msg.size())
				return std::nullopt;
			if (!end)
				end = off + 2;
			off = static_cast<size_t>((len & 0x3f) << 8 | msg[off + 1]);
			hops++;
			continue;
		}
		if ((len & 0xc0) != 0)
			return std::nullopt;
		if (len == 0) {
			if (out != nullptr)
				*out = name;
			return end ? *end : off + 1;
		}
		if (off + 1 + len > msg.size())
			return std::nullopt;
		if (!name.empty())
			name += '.';
		name.append(reinterpret_cast<const char *>(&msg[off + 1]), len);
		off += 1 + len;
	}
	return std::nullopt;
}

/* Offset of the answer section, or nullopt. */
static std::optional<size_t>
dns_skip_questions(std::span<const uint8_t> msg)
{
	if (msg.size() < HEADER_SIZE)
		return std::nullopt;
	size_t off = HEADER_SIZE;
	for (uint16_t i = 0; i < message_qdcount(msg); i++) {
		auto next = dns_read_name(msg, off, nullptr);
		if (!next || *next + 4 > msg.size())
			return std::nullopt;
		off = *next + 4;
	}
	return off;
}

Bytes
build_answer(std::span<const uint8_t> query, const std::vector<Record> &answers,
             uint32_t ttl)
{
	if (query.size() < HEADER_SIZE)
		throw std::invalid_argument("query shorter than a header");
	auto qend = dns_skip_questions(query);
	if (!qend)
		throw std::invalid_argument("query questions malformed");
	Bytes a;
	dns_put16(a, message_id(query));
	dns_put16(a, static_cast<uint16_t>(FLAG_QR | FLAG_RA |
	    (message_flags(query) & (FLAG_RD | 0x7800))));
	dns_put16(a, message_qdcount(query));
	dns_put16(a, static_cast<uint16_t>(answers.size()));
	dns_put16(a, 0);
	dns_put16(a, 0);
	a.insert(a.end(), query.begin() + HEADER_SIZE, query.begin() + *qend);
	bool have_question = message_qdcount(query) > 0;
	for (const auto &r : answers) {
		if (have_question)
			dns_put16(a, static_cast<uint16_t>(0xc000 | HEADER_SIZE));
		else
			a.push_back(0);
		dns_put16(a, r.type);
		dns_put16(a, CLASS_IN);
		dns_put32(a, ttl);
		dns_put16(a, static_cast<uint16_t>(r.rdata.size()));
		a.insert(a.end(), r.rdata.begin(), r.rdata.end());
	}
	return a;
}

uint16_t
message_id(std::span<const uint8_t> msg)
{
	return msg.size() < HEADER_SIZE ? 0 : dns_get16(msg, 0);
}

uint16_t
message_flags(std::span<const uint8_t> msg)
{
	return msg.size() < HEADER_SIZE ? 0 : dns_get16(msg, 2);
}

uint16_t
message_qdcount(std::span<const uint8_t> msg)
{
	return msg.size() < HEADER_SIZE ? 0 : dns_get16(msg, 4);
}

uint16_t
message_ancount(std::span<const uint8_t> msg)
{
	return msg.size() < HEADER_SIZE ? 0 : dns_get16(msg, 6);
}

Bytes
with_id(std::span<const uint8_t> msg, uint16_t id)
{
	Bytes b(msg.begin(), msg.end());
	if (b.size() >= 2) {
		b[0] = static_cast<uint8_t>(id >> 8);
		b[1] = static_cast<uint8_t>(id & 0xff);
	}
	return b;
}

std::optional<Question>
first_question(std::span<const uint8_t> msg)
{
	if (message_qdcount(msg) == 0)
		return std::nullopt;
	Question q;
	auto next = dns_read_name(msg, HEADER_SIZE, &q.name);
	if (!next || *next + 4 > msg.size())
		return std::nullopt;
	q.qtype = dns_get16(msg, *next);
	q.qclass = dns_get16(msg, *next + 2);
	return q;
}

std::optional<std::vector<Record>>
answer_records(std::span<const uint8_t> msg)
{
	auto off = dns_skip_questions(msg);
	if (!off)
		return std::nullopt;
	std::vector<Record> out;
	for (uint16_t i = 0; i < message_ancount(msg); i++) {
		auto next = dns_read_name(msg, *off, nullptr);
		if (!next || *next + 10 > msg.size())
			return std::nullopt;
		Record r;
		r.type = dns_get16(msg, *next);
		size_t rdlen = dns_get16(msg, *next + 8);
		size_t data = *next + 10;
		if (data + rdlen > msg.size())
			return std::nullopt;
		r.rdata.assign(msg.begin() + data, msg.begin() + data + rdlen);
		out.push_back(std::move(r));
		*off = data + rdlen;
	}
	return out;
}

std::vector<std::string>
answer_addresses(std::span<const uint8_t> msg)
{
	std::vector<std::string> out;
	auto recs = answer_records(msg);
	if (!recs)
		return out;
	for (const auto &r : *recs) {
		if (r.type != TYPE_A || r.rdata.size() != 4)
			continue;
		char text[INET_ADDRSTRLEN];
		inet_ntop(AF_INET, r.rdata.data(), text, sizeof text);
		out.emplace_back(text);
	}
	return out;
}

} // namespace qiltest::dns

namespace qiltest::dns {

Bytes
with_edns(std::span<const uint8_t> q, uint16_t udp_size)
{
	Bytes out(q.begin(), q.end());
	if (out.size() < HEADER_SIZE)
		throw std::invalid_argument("query shorter than a header");
	uint16_t ar = static_cast<uint16_t>(dns_get16(out, 10) + 1);
	out[10] = static_cast<uint8_t>(ar >> 8);
	out[11] = static_cast<uint8_t>(ar & 0xff);
	out.push_back(0); /* the root name */
	dns_put16(out, 41);
	dns_put16(out, udp_size);
	dns_put32(out, 0);
	dns_put16(out, 0);
	return out;
}

std::optional<uint16_t>
edns_udp_size(std::span<const uint8_t> msg)
{
	auto opt = opt_record(msg);
	return opt ? std::optional<uint16_t>(opt->size) : std::nullopt;
}

std::optional<Bytes>
Opt::option(uint16_t code) const
{
	for (const auto &[c, data] : options)
		if (c == code)
			return data;
	return std::nullopt;
}

Bytes
with_additional(std::span<const uint8_t> m, uint16_t type)
{
	Bytes out(m.begin(), m.end());
	if (out.size() < HEADER_SIZE)
		throw std::invalid_argument("message shorter than a header");
	uint16_t ar = static_cast<uint16_t>(dns_get16(out, 10) + 1);
	out[10] = static_cast<uint8_t>(ar >> 8);
	out[11] = static_cast<uint8_t>(ar & 0xff);
	out.push_back(0); /* the root name */
	dns_put16(out, type);
	dns_put16(out, 255); /* ANY, as TSIG has it */
	dns_put32(out, 0);
	dns_put16(out, 0);
	return out;
}

Bytes
with_opt(std::span<const uint8_t> m, const Opt &opt)
{
	Bytes out = with_additional(m, 41);
	out.resize(out.size() - 10); /* type, class, TTL, length: OPT's own */
	dns_put16(out, 41);
	dns_put16(out, opt.size);
	dns_put32(out, static_cast<uint32_t>(opt.ext_rcode) << 24 |
	    static_cast<uint32_t>(opt.version) << 16 | opt.flags);
	Bytes data;
	for (const auto &[code, value] : opt.options) {
		dns_put16(data, code);
		dns_put16(data, static_cast<uint16_t>(value.size()));
		data.insert(data.end(), value.begin(), value.end());
	}
	dns_put16(out, static_cast<uint16_t>(data.size()));
	out.insert(out.end(), data.begin(), data.end());
	return out;
}

/* The OPT record whose type field is at `at`, or nullopt when its data
 * runs off the message. */
static std::optional<Opt>
dns_read_opt(std::span<const uint8_t> msg, size_t at)
{
	Opt opt;
	opt.size = dns_get16(msg, at + 2);
	opt.ext_rcode = msg[at + 4];
	opt.version = msg[at + 5];
	opt.flags = dns_get16(msg, at + 6);
	size_t off = at + 10, end = off + dns_get16(msg, at + 8);
	if (end > msg.size())
		return std::nullopt;
	while (off + 4 <= end) {
		size_t len = dns_get16(msg, off + 2);
		if (off + 4 + len > end)
			return std::nullopt;
		opt.options.emplace_back(dns_get16(msg, off),
		    Bytes(msg.begin() + off + 4, msg.begin() + off + 4 + len));
		off += 4 + len;
	}
	return opt;
}

std::optional<Opt>
opt_record(std::span<const uint8_t> msg)
{
	auto off = dns_skip_questions(msg);
	if (!off)
		return std::nullopt;
	unsigned records = 0;
	for (size_t at = 6; at < HEADER_SIZE; at += 2)
		records += dns_get16(msg, at);
	for (unsigned i = 0; i < records; i++) {
		auto next = dns_read_name(msg, *off, nullptr);
		if (!next || *next + 10 > msg.size())
			return std::nullopt;
		if (dns_get16(msg, *next) == 41)
			return dns_read_opt(msg, *next);
		*off = *next + 10 + dns_get16(msg, *next + 8);
	}
	return std::nullopt;
}

Bytes
fit_datagram(std::span<const uint8_t> query, Bytes answer)
{
	size_t limit = std::max<size_t>(edns_udp_size(query).value_or(512), 512);
	if (answer.size() <= limit)
		return answer;
	Bytes out(answer.size());
	int n = VDNS_truncated(answer.data(), answer.size(), out.data(), out.size());
	if (n < 0)
		throw std::invalid_argument("answer without a readable question");
	out.resize(static_cast<size_t>(n));
	return out;
}

} // namespace qiltest::dns
