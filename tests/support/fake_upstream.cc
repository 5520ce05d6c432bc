/*
 * fake_upstream.cc -- a scripted upstream DNS server for integration tests.
 */
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

#include "fake_upstream.h"
#include "process.h"
#include "qca.h"
#include "qca_frame.h"
#include "upstream_key.h"

namespace qiltest {

static const QCA_Context &
fake_key()
{
	static const QCA_Context ctx = [] {
		QCA_Context c{};
		upstream_key_init(&c);
		return c;
	}();
	return ctx;
}

std::vector<uint8_t>
FakeUpstream::frame(std::span<const uint8_t> msg)
{
	std::vector<uint8_t> out(QCA_FRAME_MAXSIZE);
	int n = QCA_frame(&fake_key(), msg.data(), msg.size(), out.data(), out.size());
	if (n < 0)
		throw std::invalid_argument("message too long to frame");
	out.resize(static_cast<size_t>(n));
	return out;
}

FakeUpstream::FakeUpstream(const std::string &addr, bool encrypted, Script script,
                           uint16_t port, std::chrono::seconds lifetime)
    : encrypted_(encrypted), deadline_(Clock::now() + lifetime), sock_(addr, port),
      stranger_(addr, 0), script_(std::move(script))
{
	if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) == -1)
		throw std::runtime_error("pipe2(2) failed");
	thread_ = std::thread([this] { run(); });
}

FakeUpstream::~FakeUpstream()
{
	stop_ = true;
	char c = 0;
	(void)!write(wake_[1], &c, 1);
	thread_.join();
	close(wake_[0]);
	close(wake_[1]);
}

std::string
FakeUpstream::list_entry() const
{
	return (encrypted_ ? "E" : "") + address() + ":" + std::to_string(port());
}

void
FakeUpstream::set_script(Script script)
{
	std::lock_guard lk(mu_);
	script_ = std::move(script);
}

std::vector<Received>
FakeUpstream::received() const
{
	std::lock_guard lk(mu_);
	return received_;
}

size_t
FakeUpstream::received_count() const
{
	std::lock_guard lk(mu_);
	return received_.size();
}

bool
FakeUpstream::wait_received(size_t n, std::chrono::milliseconds limit) const
{
	return wait_until([&] { return received_count() >= n; }, limit);
}

bool
FakeUpstream::wait_idle(std::chrono::milliseconds limit) const
{
	return wait_until([&] {
		std::lock_guard lk(mu_);
		return pending_.empty();
	}, limit);
}

void
FakeUpstream::run()
{
	while (!stop_ && Clock::now() < deadline_) {
		int timeout = 20;
		{
			std::lock_guard lk(mu_);
			for (const auto &p : pending_) {
				auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
				    p.due - Clock::now()).count();
				timeout = std::clamp(static_cast<int>(ms), 0, timeout);
			}
		}
		pollfd fds[2] = {{sock_.fd(), POLLIN, 0}, {wake_[0], POLLIN, 0}};
		if (poll(fds, 2, timeout) == -1 && errno != EINTR)
			break;
		if (fds[0].revents & POLLIN) {
			/* A bounded number per turn, so replies stay on time. */
			for (int i = 0; i < 16; i++) {
				auto d = sock_.receive(std::chrono::milliseconds(0));
				if (!d)
					break;
				Received r;
				r.raw = std::move(d->data);
				r.from = d->from;
				r.at = d->at;
				handle(std::move(r));
			}
		}
		send_due();
	}
}

void
FakeUpstream::handle(Received r)
{
	if (encrypted_) {
		r.frame_ok = false;
		size_t n = r.raw.size();
		if (n >= 2) {
			r.length_field = static_cast<size_t>(r.raw[0] | r.raw[1] << 8);
			if ((n - 2) % CAMELLIA_BLOCK_SIZE == 0) {
				r.block.assign(r.raw.begin() + 2, r.raw.end());
				QCA_Decrypt(&fake_key(), r.block.data(),
				    static_cast<unsigned>(r.block.size()));
			}
		}
		std::vector<uint8_t> buf = r.raw;
		size_t len = 0;
		if (QCA_unframe(&fake_key(), buf.data(), buf.size(), &len) == QCA_UNFRAME_OK) {
			r.frame_ok = true;
			r.message.assign(buf.begin(), buf.begin() + static_cast<long>(len));
		}
	} else {
		r.message = r.raw;
	}

	Script script;
	{
		std::lock_guard lk(mu_);
		script = script_;
	}
	/* A script that cannot answer this datagram (a builder refusing a
	 * malformed message) answers nothing; it must not end the thread. */
	std::vector<Reply> replies;
	if (script) {
		try {
			replies = script(r);
		} catch (const std::exception &) {
			script_failures_++;
		}
	}
	/* Recorded only once the script has run, so that a test woken by
	 * wait_received() also sees its failure count and its replies. */
	std::lock_guard lk(mu_);
	received_.push_back(r);
	for (auto &rep : replies) {
		if (rep.via == Reply::Via::Normal && encrypted_) {
			rep.data = frame(rep.data);
			rep.via = Reply::Via::Raw;
		}
		pending_.push_back(Pending{r.at + rep.delay, std::move(rep), r.from});
	}
}

void
FakeUpstream::send_due()
{
	/* Sent under the lock, so that wait_idle() never sees a reply that
	 * has left the queue but not yet the socket. */
	std::lock_guard lk(mu_);
	auto now = Clock::now();
	auto it = std::stable_partition(pending_.begin(), pending_.end(),
	    [&](const Pending &p) { return p.due <= now; });
	/* Earliest first; the script's order among replies due together. */
	std::stable_sort(pending_.begin(), it,
	    [](const Pending &a, const Pending &b) { return a.due < b.due; });
	for (auto p = pending_.begin(); p != it; ++p) {
		UdpSocket &s = p->reply.via == Reply::Via::Stranger ? stranger_ : sock_;
		(void)s.send_to(p->to, p->reply.data);
	}
	pending_.erase(pending_.begin(), it);
}

} // namespace qiltest
