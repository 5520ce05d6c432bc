/*
 * fake_bus.cc -- private buses and fake desktop services for the tray
 * tests.
 */
#include <unistd.h>

#include <chrono>

#include "fake_bus.h"

using namespace std::chrono_literals;

namespace qiltest {

/* Everyone may own and call everything: the test is the only tenant. */
static const char bus_config[] = R"(<!DOCTYPE busconfig PUBLIC
 "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=@SOCKET@</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";

PrivateBus::PrivateBus()
{
	std::string conf = bus_config;
	conf.replace(conf.find("@SOCKET@"), 8, dir_.file("bus"));
	write_file(dir_.file("bus.conf"), conf);
	daemon_ = std::make_unique<Process>(std::vector<std::string>{QIL_DBUS_DAEMON,
	    "--config-file=" + dir_.file("bus.conf"), "--nofork", "--nopidfile"}, dir_.path());
	up_ = wait_until([&] { return bus_connect(address()) != nullptr || !daemon_->running(); })
	    && daemon_->running();
}

BusRef
bus_connect(const std::string &address)
{
	sd_bus *bus = nullptr;
	if (sd_bus_new(&bus) < 0)
		return {nullptr, sd_bus_flush_close_unref};
	BusRef ref(bus, sd_bus_flush_close_unref);
	if (sd_bus_set_address(bus, address.c_str()) < 0 || sd_bus_set_bus_client(bus, 1) < 0 ||
	    sd_bus_start(bus) < 0)
		ref.reset();
	return ref;
}

FakeService::FakeService(const std::string &address, const char *name, const char *path,
                         const char *interface, const sd_bus_vtable *vtable)
    : bus_(bus_connect(address)), name_(name)
{
	if (!bus_ || sd_bus_add_object_vtable(bus_.get(), &slot_, path, interface, vtable,
	    this) < 0)
		bus_.reset();
}

void
FakeService::start()
{
	/* Only now, with the subclass's members made: a call may come as soon
	 * as the name is ours. */
	if (!bus_ || sd_bus_request_name(bus_.get(), name_, 0) < 0)
		return;
	up_ = true;
	thread_ = std::thread([this] {
		auto end = std::chrono::steady_clock::now() + 60s;
		while (!stop_ && std::chrono::steady_clock::now() < end) {
			int r = sd_bus_process(bus_.get(), nullptr);
			if (r < 0)
				break;
			if (r == 0)
				(void)sd_bus_wait(bus_.get(), 50'000);
		}
	});
}

void
FakeService::stop()
{
	stop_ = true;
	if (thread_.joinable())
		thread_.join();
}

FakeService::~FakeService()
{
	stop();
	sd_bus_slot_unref(slot_);
}

static const sd_bus_vtable watcher_vtable[] = {
	SD_BUS_VTABLE_START(0),
	SD_BUS_METHOD("RegisterStatusNotifierItem", "s", "", FakeWatcher::on_register, 0),
	SD_BUS_VTABLE_END,
};

FakeWatcher::FakeWatcher(const std::string &address)
    : FakeService(address, "org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher",
                  "org.kde.StatusNotifierWatcher", watcher_vtable)
{
	start();
}

int
FakeWatcher::on_register(sd_bus_message *m, void *userdata, sd_bus_error *)
{
	auto *self = static_cast<FakeWatcher *>(static_cast<FakeService *>(userdata));
	const char *service;
	int r = sd_bus_message_read(m, "s", &service);
	if (r < 0)
		return r;
	{
		std::lock_guard<std::mutex> lock(self->mu_);
		self->registered_.push_back(service);
	}
	return sd_bus_reply_method_return(m, nullptr);
}

std::vector<std::string>
FakeWatcher::registered()
{
	std::lock_guard<std::mutex> lock(mu_);
	return registered_;
}

static const sd_bus_vtable notifications_vtable[] = {
	SD_BUS_VTABLE_START(0),
	SD_BUS_METHOD("Notify", "susssasa{sv}i", "u", FakeNotifications::on_notify, 0),
	SD_BUS_VTABLE_END,
};

FakeNotifications::FakeNotifications(const std::string &address)
    : FakeService(address, "org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                  "org.freedesktop.Notifications", notifications_vtable)
{
	start();
}

int
FakeNotifications::on_notify(sd_bus_message *m, void *userdata, sd_bus_error *)
{
	auto *self = static_cast<FakeNotifications *>(static_cast<FakeService *>(userdata));
	const char *app, *icon, *summary, *body;
	uint32_t replaces;
	int r = sd_bus_message_read(m, "susss", &app, &replaces, &icon, &summary, &body);
	if (r < 0)
		return r;
	size_t n;
	{
		std::lock_guard<std::mutex> lock(self->mu_);
		self->notes_.push_back({summary, body});
		n = self->notes_.size();
	}
	return sd_bus_reply_method_return(m, "u", static_cast<uint32_t>(n));
}

std::vector<FakeNotifications::Note>
FakeNotifications::notes()
{
	std::lock_guard<std::mutex> lock(mu_);
	return notes_;
}

FakeLogin1::FakeLogin1(const std::string &address) : bus_(bus_connect(address))
{
	up_ = bus_ && sd_bus_request_name(bus_.get(), "org.freedesktop.login1", 0) >= 0;
}

bool
FakeLogin1::prepare_for_sleep(bool going)
{
	return sd_bus_emit_signal(bus_.get(), "/org/freedesktop/login1",
	    "org.freedesktop.login1.Manager", "PrepareForSleep", "b", going ? 1 : 0) >= 0 &&
	    sd_bus_flush(bus_.get()) >= 0;
}

} // namespace qiltest
