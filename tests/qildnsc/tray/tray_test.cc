/*
 * tray_test.cc -- the tray icon as a desktop sees it: the real qildnsc
 * binary (without diversion, on loopback, with a loopback configuration
 * server) on private buses that stand in for the session bus (a fake
 * panel watcher and notification server) and the system bus (a fake
 * logind), or on no bus at all.
 *
 * The conversations: the item registers and carries its texts, its menu
 * and its balloon, and registers again with a restarted watcher; "Exit"
 * and sleep or wake end the process with status 0; without any bus it
 * still ends on SIGTERM.
 */
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <iostream>
#include <map>
#include <memory>

#include <gtest/gtest.h>

#include "fake_bus.h"
#include "fake_http.h"
#include "forwarder_process.h"
#include "process.h"
#include "tmpdir.h"

using namespace std::chrono_literals;
using namespace qiltest;

namespace {

#define ITEM_PATH "/StatusNotifierItem"
#define ITEM_IFACE "org.kde.StatusNotifierItem"
#define MENU_IFACE "com.canonical.dbusmenu"

struct MenuEntry {
	int32_t id = 0;
	std::string type = "standard", label;
	bool enabled = true;
	bool operator==(const MenuEntry &o) const
	{
		return type == o.type && label == o.label && enabled == o.enabled;
	}
};

std::ostream &
operator<<(std::ostream &os, const MenuEntry &e)
{
	return os << "{" << e.type << " \"" << e.label << "\" " << (e.enabled ? "on" : "off") << "}";
}

/* One dbusmenu node's a{sv}, for the properties the tests look at. */
int
read_entry_props(sd_bus_message *m, MenuEntry *e)
{
	int r = sd_bus_message_enter_container(m, 'a', "{sv}");
	while (r > 0 && (r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
		const char *key, *text;
		int flag;
		r = sd_bus_message_read(m, "s", &key);
		std::string k = r >= 0 ? key : "";
		if (k == "enabled" && (r = sd_bus_message_read(m, "v", "b", &flag)) >= 0)
			e->enabled = flag;
		else if ((k == "type" || k == "label") &&
		    (r = sd_bus_message_read(m, "v", "s", &text)) >= 0)
			(k == "type" ? e->type : e->label) = text;
		else if (r >= 0)
			r = sd_bus_message_skip(m, "v");
		if (r >= 0)
			r = sd_bus_message_exit_container(m);
	}
	return r < 0 ? r : sd_bus_message_exit_container(m);
}

/* The menu's entries below the root, from GetLayout(0, -1, []). */
std::vector<MenuEntry>
menu_layout(sd_bus *bus, const std::string &service)
{
	sd_bus_error err = SD_BUS_ERROR_NULL;
	sd_bus_message *reply = nullptr;
	std::vector<MenuEntry> out;
	uint32_t revision;
	int32_t root;

	int r = sd_bus_call_method(bus, service.c_str(), "/MenuBar", MENU_IFACE, "GetLayout",
	    &err, &reply, "iias", 0, -1, 0);
	EXPECT_GE(r, 0) << "GetLayout: " << (err.message != nullptr ? err.message : "");
	if (r >= 0)
		r = sd_bus_message_read(reply, "u", &revision);
	if (r >= 0)
		r = sd_bus_message_enter_container(reply, 'r', "ia{sv}av");
	if (r >= 0)
		r = sd_bus_message_read(reply, "i", &root);
	if (r >= 0)
		r = sd_bus_message_skip(reply, "a{sv}");
	if (r >= 0)
		r = sd_bus_message_enter_container(reply, 'a', "v");
	while (r > 0 && (r = sd_bus_message_enter_container(reply, 'v', "(ia{sv}av)")) > 0) {
		MenuEntry e;
		r = sd_bus_message_enter_container(reply, 'r', "ia{sv}av");
		if (r >= 0)
			r = sd_bus_message_read(reply, "i", &e.id);
		if (r >= 0)
			r = read_entry_props(reply, &e);
		if (r >= 0)
			r = sd_bus_message_skip(reply, "av");
		if (r >= 0)
			r = sd_bus_message_exit_container(reply);
		if (r >= 0)
			r = sd_bus_message_exit_container(reply);
		out.push_back(e);
	}
	EXPECT_GE(r, 0) << "the layout does not parse";
	sd_bus_message_unref(reply);
	sd_bus_error_free(&err);
	return out;
}

std::string
text_property(sd_bus *bus, const std::string &service, const char *name)
{
	char *s = nullptr;
	if (sd_bus_get_property_string(bus, service.c_str(), ITEM_PATH, ITEM_IFACE, name, nullptr,
	    &s) < 0)
		return "<no " + std::string(name) + ">";
	std::string out = s;
	free(s);
	return out;
}

bool
has_owner(sd_bus *bus, const std::string &name)
{
	sd_bus_message *reply = nullptr;
	int owned = 1;
	if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
	    "org.freedesktop.DBus", "NameHasOwner", nullptr, &reply, "s", name.c_str()) < 0 ||
	    sd_bus_message_read(reply, "b", &owned) < 0)
		owned = 1;
	sd_bus_message_unref(reply);
	return owned;
}

class TrayTest : public ::testing::Test {
protected:
	void
	SetUp() override
	{
		if (access(QIL_DBUS_DAEMON, X_OK) != 0)
			GTEST_SKIP() << QIL_DBUS_DAEMON " is missing (package dbus-daemon); skipping";
	}

	void
	TearDown() override
	{
		if (fwd_) {
			fwd_->signal(SIGTERM);
			(void)fwd_->wait(10s);
			err_ = fwd_->stderr_text();
		}
		if (HasFailure()) {
			std::cerr << "---- qildnsc_stdout.txt ----\n" << log()
			          << "---- standard error ----\n" << err_ << "----\n";
		}
	}

	/* The forwarder on `session` and `system` (null: no such bus). */
	void
	start(const PrivateBus *session, const PrivateBus *system)
	{
		std::vector<std::string> env{config_.config_env()};
		if (session != nullptr)
			env.push_back("DBUS_SESSION_BUS_ADDRESS=" + session->address());
		if (system != nullptr)
			env.push_back("DBUS_SYSTEM_BUS_ADDRESS=" + system->address());
		start_forwarder(dir_, {"-d", "127.0.0.2"}, env, 10s, &fwd_, &err_);
	}

	/* The forwarder ends by itself, with status 0 and no sanitizer
	 * report. */
	void
	expect_exit_zero()
	{
		ASSERT_TRUE(fwd_);
		auto st = fwd_->wait(10s);
		err_ = fwd_->stderr_text();
		ASSERT_TRUE(st) << "still running after 10 s";
		EXPECT_TRUE(WIFEXITED(*st) && WEXITSTATUS(*st) == 0) << "wait status " << *st;
		expect_no_sanitizer_report(err_);
		fwd_.reset();
	}

	/* The bus name the item registered with `w` (waits for it). */
	std::string
	registered_service(FakeWatcher &w, size_t n = 1)
	{
		EXPECT_TRUE(wait_until([&] { return w.registered().size() >= n; }))
		    << "the item did not register";
		auto r = w.registered();
		return r.size() >= n ? r[n - 1] : "";
	}

	std::string log() const { return read_file(dir_.file("qildnsc_stdout.txt")); }

	TmpDir dir_;
	FakeHttpServer config_{HttpScript::json(R"({"cc": "ZZ", "dns_servers": []})")};
	std::unique_ptr<Process> fwd_;
	std::string err_;
};

TEST_F(TrayTest, ItemTextsMenuBalloonAndANewWatcher)
{
	PrivateBus session;
	ASSERT_TRUE(session.up());
	auto watcher = std::make_unique<FakeWatcher>(session.address());
	FakeNotifications notifications(session.address());
	ASSERT_TRUE(watcher->up() && notifications.up());
	start(&session, nullptr);
	ASSERT_FALSE(HasFatalFailure());
	std::string service = registered_service(*watcher);
	EXPECT_EQ(service, "org.kde.StatusNotifierItem-" + std::to_string(fwd_->pid()) + "-1");
	BusRef client = bus_connect(session.address());
	ASSERT_TRUE(client);

	const std::map<std::string, std::string> texts{{"Id", "qildnsc"},
	    {"Category", "SystemServices"}, {"Title", "Quillet DNS Client"}, {"Status", "Active"}};
	for (const auto &[name, text] : texts)
		EXPECT_EQ(text_property(client.get(), service, name.c_str()), text) << name;
	sd_bus_message *reply = nullptr;
	const char *icon_name, *tip_title, *tip_text, *menu;
	int is_menu = 0;
	ASSERT_GE(sd_bus_get_property(client.get(), service.c_str(), ITEM_PATH, ITEM_IFACE,
	    "ToolTip", nullptr, &reply, "(sa(iiay)ss)"), 0);
	ASSERT_GE(sd_bus_message_enter_container(reply, 'r', "sa(iiay)ss"), 0);
	ASSERT_GE(sd_bus_message_read(reply, "s", &icon_name), 0);
	ASSERT_GE(sd_bus_message_skip(reply, "a(iiay)"), 0);
	ASSERT_GE(sd_bus_message_read(reply, "ss", &tip_title, &tip_text), 0);
	EXPECT_STREQ(tip_title, "Quillet DNS Client");
	reply = sd_bus_message_unref(reply);
	ASSERT_GE(sd_bus_get_property_trivial(client.get(), service.c_str(), ITEM_PATH, ITEM_IFACE,
	    "ItemIsMenu", nullptr, 'b', &is_menu), 0);
	EXPECT_TRUE(is_menu);
	ASSERT_GE(sd_bus_get_property(client.get(), service.c_str(), ITEM_PATH, ITEM_IFACE, "Menu",
	    nullptr, &reply, "o"), 0);
	ASSERT_GE(sd_bus_message_read(reply, "o", &menu), 0);
	EXPECT_STREQ(menu, "/MenuBar");
	reply = sd_bus_message_unref(reply);

	/* The pixels: 16, 32 and 48 px squares, four bytes a pixel, as the
	 * installed PNG files hold them: alpha first, row by row from the
	 * top (the tail of the Q is at the lower right). */
	std::vector<int32_t> sizes;
	std::map<int32_t, std::vector<uint8_t>> images;
	ASSERT_GE(sd_bus_get_property(client.get(), service.c_str(), ITEM_PATH, ITEM_IFACE,
	    "IconPixmap", nullptr, &reply, "a(iiay)"), 0);
	ASSERT_GE(sd_bus_message_enter_container(reply, 'a', "(iiay)"), 0);
	int32_t w, h;
	const void *px;
	size_t len;
	while (sd_bus_message_enter_container(reply, 'r', "iiay") > 0) {
		ASSERT_GE(sd_bus_message_read(reply, "ii", &w, &h), 0);
		ASSERT_GE(sd_bus_message_read_array(reply, 'y', &px, &len), 0);
		EXPECT_EQ(len, static_cast<size_t>(w) * h * 4);
		EXPECT_EQ(w, h);
		sizes.push_back(w);
		images[w].assign(static_cast<const uint8_t *>(px),
		    static_cast<const uint8_t *>(px) + len);
		ASSERT_GE(sd_bus_message_exit_container(reply), 0);
	}
	reply = sd_bus_message_unref(reply);
	EXPECT_EQ(sizes, (std::vector<int32_t>{16, 32, 48}));
	const struct {
		int32_t size, x, y;
		std::vector<uint8_t> argb;
	} known[] = {
		{16, 0, 0, {0x00, 0x1f, 0x7a, 0x8c}},   /* transparent corner */
		{16, 5, 0, {0x1c, 0x1f, 0x7a, 0x8c}},   /* the disc's soft edge */
		{32, 6, 10, {0xff, 0x49, 0x93, 0xa2}},  /* the ring's soft edge */
		{48, 34, 34, {0xff, 0xff, 0xff, 0xff}}, /* the tail */
		{48, 34, 13, {0xff, 0x1f, 0x7a, 0x8c}}, /* no tail at the upper right */
		{48, 38, 38, {0xff, 0xca, 0xe0, 0xe4}}, /* the tail's soft end */
	};
	for (const auto &k : known) {
		const std::vector<uint8_t> &img = images[k.size];
		size_t at = (static_cast<size_t>(k.y) * k.size + k.x) * 4;
		ASSERT_GE(img.size(), at + 4) << k.size;
		EXPECT_EQ(std::vector<uint8_t>(img.begin() + at, img.begin() + at + 4), k.argb)
		    << k.size << " px, (" << k.x << ", " << k.y << ")";
	}

	std::vector<MenuEntry> want{{0, "standard", "Quillet DNS Client v5.0.1", false},
	    {0, "separator", "", true}, {0, "standard", "Exit", true}};
	EXPECT_EQ(menu_layout(client.get(), service), want);

	ASSERT_TRUE(wait_until([&] { return !notifications.notes().empty(); }))
	    << "no balloon";
	EXPECT_EQ(notifications.notes()[0].summary, "Quillet DNS Client");
	EXPECT_EQ(notifications.notes()[0].body, "Quillet DNS Client v5.0.1 is running.");

	/* The panel restarts: the item registers with the new watcher; the
	 * balloon is not shown again. */
	watcher.reset();
	watcher = std::make_unique<FakeWatcher>(session.address());
	ASSERT_TRUE(watcher->up());
	EXPECT_EQ(registered_service(*watcher), service);
	EXPECT_EQ(notifications.notes().size(), 1u);
}

TEST_F(TrayTest, ExitFromTheMenuEndsWithStatusZeroAndTakesTheItemAway)
{
	PrivateBus session;
	ASSERT_TRUE(session.up());
	FakeWatcher watcher(session.address());
	ASSERT_TRUE(watcher.up());
	start(&session, nullptr);
	ASSERT_FALSE(HasFatalFailure());
	std::string service = registered_service(watcher);
	BusRef client = bus_connect(session.address());
	ASSERT_TRUE(client);
	auto entries = menu_layout(client.get(), service);
	ASSERT_EQ(entries.size(), 3u);
	ASSERT_EQ(entries[2].label, "Exit");

	sd_bus_error err = SD_BUS_ERROR_NULL;
	EXPECT_GE(sd_bus_call_method(client.get(), service.c_str(), "/MenuBar", MENU_IFACE, "Event",
	    &err, nullptr, "isvu", entries[2].id, "clicked", "s", "", 0u), 0)
	    << (err.message != nullptr ? err.message : "");
	sd_bus_error_free(&err);
	expect_exit_zero();
	EXPECT_TRUE(wait_until([&] { return !has_owner(client.get(), service); }))
	    << "the item is still on the bus";
}

TEST_F(TrayTest, SleepAndWakeEndWithStatusZero)
{
	PrivateBus system;
	ASSERT_TRUE(system.up());
	FakeLogin1 login1(system.address());
	ASSERT_TRUE(login1.up());
	for (bool going : {true, false}) {
		SCOPED_TRACE(going ? "going to sleep" : "waking");
		start(nullptr, &system);
		ASSERT_FALSE(HasFatalFailure());
		ASSERT_TRUE(wait_for_text(dir_.file("qildnsc_stdout.txt"), "QILEC_00771"));
		ASSERT_TRUE(login1.prepare_for_sleep(going));
		expect_exit_zero();
	}
}

TEST_F(TrayTest, WithoutAnyBusSigtermEndsWithStatusZero)
{
	start(nullptr, nullptr);
	ASSERT_FALSE(HasFatalFailure());
	ASSERT_TRUE(wait_for_text(dir_.file("qildnsc_stdout.txt"), "QILEC_00774"));
	fwd_->signal(SIGTERM);
	expect_exit_zero();
	EXPECT_EQ(count_of(log(), "No session bus"), 1u);
}

} // namespace
