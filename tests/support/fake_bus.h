/*
 * fake_bus.h -- a desktop for the tray tests: private D-Bus daemons that
 * stand in for the session and system buses, and fakes of the services
 * the tray talks to (the panel's StatusNotifierWatcher, the notification
 * server, logind), plus a client connection to look at what the tray
 * publishes.
 *
 * Each bus is a dbus-daemon of its own in a temporary directory, killed
 * with the object. Each fake owns its well-known name on its own
 * connection and answers on a thread of its own, which stops with the
 * object (or after a minute); dropping the object releases the name.
 */
#ifndef QIL_TEST_FAKE_BUS_H
#define QIL_TEST_FAKE_BUS_H

#include <systemd/sd-bus.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "process.h"
#include "tmpdir.h"

namespace qiltest {

/* The daemon the buses run; tests skip when it is missing. */
#define QIL_DBUS_DAEMON "/usr/bin/dbus-daemon"

/* A private bus on a socket in a temporary directory. */
class PrivateBus {
public:
	/* Starts the daemon and waits (bounded) until it accepts; check
	 * up(). */
	PrivateBus();
	bool up() const { return up_; }
	/* "unix:path=...", for DBUS_SESSION_BUS_ADDRESS and its kin. */
	std::string address() const { return "unix:path=" + dir_.file("bus"); }

private:
	TmpDir dir_;
	std::unique_ptr<Process> daemon_;
	bool up_ = false;
};

/* A client connection to `address` (null when it cannot connect). */
using BusRef = std::unique_ptr<sd_bus, decltype(&sd_bus_flush_close_unref)>;
BusRef bus_connect(const std::string &address);

/* A connection owning `name` and serving `vtable` at `path` on a thread,
 * from the subclass's call of start() at the end of its constructor. */
class FakeService {
public:
	FakeService(const std::string &address, const char *name, const char *path,
	            const char *interface, const sd_bus_vtable *vtable);
	virtual ~FakeService();
	FakeService(const FakeService &) = delete;
	FakeService &operator=(const FakeService &) = delete;
	bool up() const { return up_; }

protected:
	/* Takes the name and starts serving; subclasses call it last in their
	 * constructors, so that no call finds their members unmade. */
	void start();
	/* Stops the thread; subclasses call it first in their destructors. */
	void stop();
	std::mutex mu_;

private:
	BusRef bus_;
	const char *name_;
	sd_bus_slot *slot_ = nullptr;
	std::atomic<bool> stop_{false};
	std::thread thread_;
	bool up_ = false;
};

/* org.kde.StatusNotifierWatcher: records the service of every
 * RegisterStatusNotifierItem. */
class FakeWatcher : public FakeService {
public:
	explicit FakeWatcher(const std::string &address);
	~FakeWatcher() override { stop(); }
	std::vector<std::string> registered();
	/* The method handler (the vtable's). */
	static int on_register(sd_bus_message *m, void *userdata, sd_bus_error *);

private:
	std::vector<std::string> registered_;
};

/* org.freedesktop.Notifications: records summary and body of every
 * Notify. */
class FakeNotifications : public FakeService {
public:
	struct Note {
		std::string summary, body;
	};
	explicit FakeNotifications(const std::string &address);
	~FakeNotifications() override { stop(); }
	std::vector<Note> notes();
	/* The method handler (the vtable's). */
	static int on_notify(sd_bus_message *m, void *userdata, sd_bus_error *);

private:
	std::vector<Note> notes_;
};

/* org.freedesktop.login1, which only emits signals (from the caller's
 * thread). */
class FakeLogin1 {
public:
	explicit FakeLogin1(const std::string &address);
	bool up() const { return up_; }
	/* Emits PrepareForSleep(`going`); false when the bus refused it. */
	bool prepare_for_sleep(bool going);

private:
	BusRef bus_;
	bool up_ = false;
};

} // namespace qiltest

#endif
