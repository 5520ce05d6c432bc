/*
 * tray_item.cc -- the tray icon as an org.kde.StatusNotifierItem.
 *
 * The item lives at /StatusNotifierItem under the bus name
 * "org.kde.StatusNotifierItem-<pid>-1" and is registered with the watcher
 * (the panel) by that name. The menu is the whole of its behaviour
 * (ItemIsMenu): clicks on the icon itself do nothing. The icon is offered
 * by theme name when it is installed, and always as pixels.
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "common/qildnsc.h"
#include "tray/tray_balloon.h"
#include "tray/tray_icon.h"
#include "tray/tray_item.h"
#include "tray/tray_menu.h"
#include "vas.h"
#include "vtc_log.h"
#include "vtim.h"

#define ITEM_PATH      "/StatusNotifierItem"
#define ITEM_INTERFACE "org.kde.StatusNotifierItem"
#define WATCHER_NAME   "org.kde.StatusNotifierWatcher"
#define WATCHER_PATH   "/StatusNotifierWatcher"

/* Where the icon theme is installed (share/icons of the install prefix). */
#ifndef QILDNSC_ICON_DIR
#define QILDNSC_ICON_DIR "/usr/local/share/icons"
#endif
#define ICON_FILE QILDNSC_ICON_DIR "/hicolor/48x48/apps/" TRAY_ICON_NAME ".png"

/* Any program of the session can make the watcher's name change hands
 * at will, and each change is a registration: their lines are limited. */
#define REGISTRATION_LOG_INTERVAL 10.0 /* seconds */

struct tray_item {
	unsigned magic;
#define TRAY_ITEM_MAGIC 0x7a1c5e01
	sd_bus *bus;
	sd_bus_slot *object;      /* the item */
	sd_bus_slot *menu;        /* its menu */
	sd_bus_slot *watch;       /* NameOwnerChanged of the watcher's name */
	sd_bus_slot *naming;      /* RequestName in flight */
	sd_bus_slot *registering; /* RegisterStatusNotifierItem in flight */
	char service[64];         /* our bus name */
	bool named;               /* the name is ours */
	const char *icon_name;    /* "" when the icon is not installed */
	const char *icon_theme_path;
	bool told_no_watcher;
	bool balloon_shown;
	double logged_at;         /* the last registration line (VTIM_mono) */
};

namespace {

/* The item's fixed texts, by property. */
constexpr struct {
	const char *property;
	const char *text;
} item_texts[] = {
	{"Id", "qildnsc"},
	{"Category", "SystemServices"},
	{"Title", TRAY_TITLE},
	{"Status", "Active"},
	{"OverlayIconName", ""},
	{"AttentionIconName", ""},
	{"AttentionMovieName", ""},
};

tray_item *
item_of(void *userdata)
{
	tray_item *item;

	CAST_OBJ_NOTNULL(item, userdata, TRAY_ITEM_MAGIC);
	return item;
}

int
item_get_text(sd_bus *, const char *, const char *, const char *property,
              sd_bus_message *reply, void *userdata, sd_bus_error *)
{
	tray_item *item = item_of(userdata);

	if (strcmp(property, "IconName") == 0)
		return sd_bus_message_append(reply, "s", item->icon_name);
	if (strcmp(property, "IconThemePath") == 0)
		return sd_bus_message_append(reply, "s", item->icon_theme_path);
	for (const auto &t : item_texts)
		if (strcmp(property, t.property) == 0)
			return sd_bus_message_append(reply, "s", t.text);
	ODR_assert_fail(__func__, __FILE__, __LINE__, "a text property of the tray item", 0);
}

/* a(iiay): every size of the icon, or none. */
int
item_append_pixmaps(sd_bus_message *m, bool icon)
{
	int r = sd_bus_message_open_container(m, 'a', "(iiay)");
	for (size_t i = 0; icon && r >= 0 && i < TRAY_ICON_IMAGES; i++) {
		const tray_icon_image &img = tray_icon_images[i];
		r = sd_bus_message_open_container(m, 'r', "iiay");
		if (r >= 0)
			r = sd_bus_message_append(m, "ii", img.size, img.size);
		if (r >= 0)
			r = sd_bus_message_append_array(m, 'y', img.argb,
			    static_cast<size_t>(img.size) * img.size * 4);
		if (r >= 0)
			r = sd_bus_message_close_container(m);
	}
	if (r >= 0)
		r = sd_bus_message_close_container(m);
	return r;
}

int
item_get_pixmap(sd_bus *, const char *, const char *, const char *property,
                sd_bus_message *reply, void *, sd_bus_error *)
{
	return item_append_pixmaps(reply, strcmp(property, "IconPixmap") == 0);
}

/* (sa(iiay)ss): icon name, icon pixels, title, description. */
int
item_get_tool_tip(sd_bus *, const char *, const char *, const char *, sd_bus_message *reply,
                  void *userdata, sd_bus_error *)
{
	tray_item *item = item_of(userdata);

	int r = sd_bus_message_open_container(reply, 'r', "sa(iiay)ss");
	if (r >= 0)
		r = sd_bus_message_append(reply, "s", item->icon_name);
	if (r >= 0)
		r = item_append_pixmaps(reply, false);
	if (r >= 0)
		r = sd_bus_message_append(reply, "ss", TRAY_TITLE, "");
	if (r >= 0)
		r = sd_bus_message_close_container(reply);
	return r;
}

int
item_get_window_id(sd_bus *, const char *, const char *, const char *, sd_bus_message *reply,
                   void *, sd_bus_error *)
{
	return sd_bus_message_append(reply, "i", 0);
}

int
item_get_is_menu(sd_bus *, const char *, const char *, const char *, sd_bus_message *reply,
                 void *, sd_bus_error *)
{
	return sd_bus_message_append(reply, "b", 1);
}

int
item_get_menu(sd_bus *, const char *, const char *, const char *, sd_bus_message *reply,
              void *, sd_bus_error *)
{
	return sd_bus_message_append(reply, "o", TRAY_MENU_PATH);
}

/* Clicks and scrolling on the icon itself: nothing happens, as a left or
 * double click on the icon does nothing. The menu is the host's to show. */
int
item_ignore_click(sd_bus_message *call, void *, sd_bus_error *)
{
	return sd_bus_reply_method_return(call, nullptr);
}

#define TEXT_PROPERTY(name) \
	SD_BUS_PROPERTY(name, "s", item_get_text, 0, SD_BUS_VTABLE_PROPERTY_CONST)
#define PIXMAP_PROPERTY(name) \
	SD_BUS_PROPERTY(name, "a(iiay)", item_get_pixmap, 0, SD_BUS_VTABLE_PROPERTY_CONST)

const sd_bus_vtable item_vtable[] = {
	SD_BUS_VTABLE_START(0),
	TEXT_PROPERTY("Category"),
	TEXT_PROPERTY("Id"),
	TEXT_PROPERTY("Title"),
	TEXT_PROPERTY("Status"),
	SD_BUS_PROPERTY("WindowId", "i", item_get_window_id, 0, SD_BUS_VTABLE_PROPERTY_CONST),
	TEXT_PROPERTY("IconThemePath"),
	TEXT_PROPERTY("IconName"),
	PIXMAP_PROPERTY("IconPixmap"),
	TEXT_PROPERTY("OverlayIconName"),
	PIXMAP_PROPERTY("OverlayIconPixmap"),
	TEXT_PROPERTY("AttentionIconName"),
	PIXMAP_PROPERTY("AttentionIconPixmap"),
	TEXT_PROPERTY("AttentionMovieName"),
	SD_BUS_PROPERTY("ToolTip", "(sa(iiay)ss)", item_get_tool_tip, 0,
	    SD_BUS_VTABLE_PROPERTY_CONST),
	SD_BUS_PROPERTY("ItemIsMenu", "b", item_get_is_menu, 0, SD_BUS_VTABLE_PROPERTY_CONST),
	SD_BUS_PROPERTY("Menu", "o", item_get_menu, 0, SD_BUS_VTABLE_PROPERTY_CONST),
	SD_BUS_METHOD("ContextMenu", "ii", "", item_ignore_click, 0),
	SD_BUS_METHOD("Activate", "ii", "", item_ignore_click, 0),
	SD_BUS_METHOD("SecondaryActivate", "ii", "", item_ignore_click, 0),
	SD_BUS_METHOD("Scroll", "is", "", item_ignore_click, 0),
	SD_BUS_SIGNAL("NewTitle", "", 0),
	SD_BUS_SIGNAL("NewIcon", "", 0),
	SD_BUS_SIGNAL("NewAttentionIcon", "", 0),
	SD_BUS_SIGNAL("NewOverlayIcon", "", 0),
	SD_BUS_SIGNAL("NewToolTip", "", 0),
	SD_BUS_SIGNAL("NewStatus", "s", 0),
	SD_BUS_VTABLE_END,
};

/* At most one registration line every REGISTRATION_LOG_INTERVAL. */
bool
item_may_log(tray_item *item)
{
	double now = VTIM_mono();

	if (item->logged_at != 0 && now - item->logged_at < REGISTRATION_LOG_INTERVAL)
		return false;
	item->logged_at = now;
	return true;
}

int
item_registered(sd_bus_message *reply, void *userdata, sd_bus_error *)
{
	tray_item *item = item_of(userdata);
	const sd_bus_error *e = sd_bus_message_get_error(reply);

	item->registering = sd_bus_slot_unref(item->registering);
	if (sd_bus_is_open(item->bus) <= 0)
		return 0; /* the loss of the bus is logged as such */
	if (e == nullptr) {
		if (item_may_log(item))
			vtc_log(vl, VTCLOG_INFO, "QILEC_00764: Tray icon registered as %s.",
			    item->service);
		if (!item->balloon_shown)
			tray_balloon_show(item->bus, item->icon_name);
		item->balloon_shown = true;
	} else if (sd_bus_error_has_names(e, SD_BUS_ERROR_SERVICE_UNKNOWN,
	    SD_BUS_ERROR_NAME_HAS_NO_OWNER)) {
		/* Said once: the panel may come and go. */
		if (!item->told_no_watcher)
			vtc_log(vl, VTCLOG_WARN, "QILEC_00765: No StatusNotifierWatcher on the "
			    "session bus: no tray icon until a panel with one starts.");
		item->told_no_watcher = true;
	} else if (item_may_log(item)) {
		vtc_log(vl, VTCLOG_WARN, "QILEC_00766: RegisterStatusNotifierItem: %s (%s)",
		    e->name, e->message != nullptr ? e->message : "");
	}
	return 0;
}

void
item_register(tray_item *item)
{
	if (!item->named)
		return;
	/* A registration still in flight is dropped for the new one. */
	item->registering = sd_bus_slot_unref(item->registering);
	int r = sd_bus_call_method_async(item->bus, &item->registering, WATCHER_NAME,
	    WATCHER_PATH, WATCHER_NAME, "RegisterStatusNotifierItem", item_registered, item,
	    "s", item->service);
	if (r < 0 && item_may_log(item))
		vtc_log(vl, VTCLOG_WARN, "QILEC_00766: RegisterStatusNotifierItem: %s",
		    strerror(-r));
}

int
item_named(sd_bus_message *reply, void *userdata, sd_bus_error *)
{
	tray_item *item = item_of(userdata);
	const sd_bus_error *e = sd_bus_message_get_error(reply);
	uint32_t result = 0;

	item->naming = sd_bus_slot_unref(item->naming);
	if (sd_bus_is_open(item->bus) <= 0)
		return 0;
	if (e == nullptr)
		(void)sd_bus_message_read(reply, "u", &result);
	/* 1: DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER */
	if (result != 1) {
		vtc_log(vl, VTCLOG_WARN, "QILEC_00767: No tray icon: RequestName %s: %s",
		    item->service, e != nullptr ? e->name : "the name is taken");
		return 0;
	}
	item->named = true;
	item_register(item);
	return 0;
}

/* The watcher's name changed hands: a panel (re)started, or went. */
int
item_watcher_changed(sd_bus_message *m, void *userdata, sd_bus_error *)
{
	tray_item *item = item_of(userdata);
	const char *name, *old_owner, *new_owner;

	if (sd_bus_message_read(m, "sss", &name, &old_owner, &new_owner) < 0)
		return 0;
	if (new_owner[0] != '\0')
		item_register(item);
	return 0;
}

int
item_watch_installed(sd_bus_message *reply, void *, sd_bus_error *)
{
	const sd_bus_error *e = sd_bus_message_get_error(reply);

	if (e != nullptr && sd_bus_is_open(sd_bus_message_get_bus(reply)) > 0)
		vtc_log(vl, VTCLOG_WARN, "QILEC_00768: A restarted panel will not show the tray "
		    "icon: AddMatch: %s", e->name);
	return 0;
}

} // namespace

struct tray_item *
tray_item_new(sd_bus *bus)
{
	auto *item = static_cast<tray_item *>(calloc(1, sizeof(tray_item)));
	AN(item);
	item->magic = TRAY_ITEM_MAGIC;
	item->bus = bus;
	bool installed = access(ICON_FILE, R_OK) == 0;
	item->icon_name = installed ? TRAY_ICON_NAME : "";
	item->icon_theme_path = installed ? QILDNSC_ICON_DIR : "";

	int r = sd_bus_add_object_vtable(bus, &item->object, ITEM_PATH, ITEM_INTERFACE,
	    item_vtable, item);
	if (r >= 0)
		r = tray_menu_publish(bus, &item->menu);
	if (r < 0) {
		vtc_log(vl, VTCLOG_WARN, "QILEC_00767: No tray icon: sd_bus_add_object_vtable: %s",
		    strerror(-r));
		tray_item_delete(&item);
		return nullptr;
	}
	/* In this order on the bus: the watch first, so that no panel start
	 * falls between the registration and the watch. */
	r = sd_bus_add_match_async(bus, &item->watch,
	    "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
	    "interface='org.freedesktop.DBus',member='NameOwnerChanged',"
	    "arg0='" WATCHER_NAME "'", item_watcher_changed, item_watch_installed, item);
	if (r < 0)
		vtc_log(vl, VTCLOG_WARN, "QILEC_00768: A restarted panel will not show the tray "
		    "icon: AddMatch: %s", strerror(-r));
	(void)snprintf(item->service, sizeof item->service, ITEM_INTERFACE "-%ld-1",
	    static_cast<long>(getpid()));
	r = sd_bus_request_name_async(bus, &item->naming, item->service, 0, item_named, item);
	if (r < 0)
		vtc_log(vl, VTCLOG_WARN, "QILEC_00767: No tray icon: RequestName %s: %s",
		    item->service, strerror(-r));
	return item;
}

void
tray_item_delete(struct tray_item **itemp)
{
	tray_item *item = *itemp;

	*itemp = nullptr;
	CHECK_OBJ_NOTNULL(item, TRAY_ITEM_MAGIC);
	sd_bus_slot_unref(item->registering);
	sd_bus_slot_unref(item->naming);
	sd_bus_slot_unref(item->watch);
	sd_bus_slot_unref(item->menu);
	sd_bus_slot_unref(item->object);
	item->magic = 0;
	free(item);
}
