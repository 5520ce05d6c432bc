/*
 * tray_menu.cc -- the tray icon's menu (com.canonical.dbusmenu, version 3).
 *
 * The menu never changes: one revision, a root (id 0) and the three
 * entries of menu_entries[]. Hosts ask for the layout and the entries'
 * properties and report clicks through Event; only "clicked" on "Exit"
 * does anything. Runs on the first thread, inside the bus's event loop.
 */
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <span>
#include <string_view>

#include "common/qildnsc.h"
#include "tray/tray_menu.h"
#include "vtc_log.h"

#define MENU_REVISION 1
#define MENU_EXIT_ID  3000

namespace {

struct menu_entry {
	int32_t id;
	const char *type; /* "standard" or "separator" */
	const char *label;
	bool enabled;
};

constexpr menu_entry menu_entries[] = {
	{1, "standard", "Quillet DNS Client v5.0.1", false},
	{2, "separator", "", true},
	{MENU_EXIT_ID, "standard", "Exit", true},
};

const menu_entry *
menu_find(int32_t id)
{
	for (const auto &e : menu_entries)
		if (e.id == id)
			return &e;
	return nullptr;
}

/* The property names the caller asked for; an empty list means all. */
struct prop_filter {
	std::span<char *> names;

	bool
	wants(std::string_view name) const
	{
		if (names.empty())
			return true;
		for (const char *n : names)
			if (name == n)
				return true;
		return false;
	}
};

int
menu_append_prop(sd_bus_message *m, const char *name, char type, const void *value)
{
	const char sig[2] = {type, '\0'};
	int r = sd_bus_message_open_container(m, 'e', "sv");
	if (r >= 0)
		r = sd_bus_message_append_basic(m, 's', name);
	if (r >= 0)
		r = sd_bus_message_open_container(m, 'v', sig);
	if (r >= 0)
		r = sd_bus_message_append_basic(m, type, value);
	if (r >= 0)
		r = sd_bus_message_close_container(m);
	if (r >= 0)
		r = sd_bus_message_close_container(m);
	return r;
}

/* The a{sv} of one entry (null: the root). */
int
menu_append_props(sd_bus_message *m, const menu_entry *e, const prop_filter &f)
{
	int r = sd_bus_message_open_container(m, 'a', "{sv}");
	if (r < 0)
		return r;
	if (e == nullptr) {
		if (f.wants("children-display"))
			r = menu_append_prop(m, "children-display", 's', "submenu");
	} else {
		int enabled = e->enabled;
		if (r >= 0 && f.wants("type"))
			r = menu_append_prop(m, "type", 's', e->type);
		if (r >= 0 && e->label[0] != '\0' && f.wants("label"))
			r = menu_append_prop(m, "label", 's', e->label);
		if (r >= 0 && f.wants("enabled"))
			r = menu_append_prop(m, "enabled", 'b', &enabled);
	}
	if (r < 0)
		return r;
	return sd_bus_message_close_container(m);
}

/* One (ia{sv}av) layout node: the root with its entries down to `depth`
 * levels (-1: all), or an entry, which has none. */
int
menu_append_node(sd_bus_message *m, const menu_entry *e, int32_t depth, const prop_filter &f)
{
	int r = sd_bus_message_open_container(m, 'r', "ia{sv}av");
	if (r >= 0)
		r = sd_bus_message_append(m, "i", e == nullptr ? 0 : e->id);
	if (r >= 0)
		r = menu_append_props(m, e, f);
	if (r >= 0)
		r = sd_bus_message_open_container(m, 'a', "v");
	if (r >= 0 && e == nullptr && depth != 0) {
		for (const auto &child : menu_entries) {
			if (r >= 0)
				r = sd_bus_message_open_container(m, 'v', "(ia{sv}av)");
			if (r >= 0)
				r = menu_append_node(m, &child, depth - 1, f);
			if (r >= 0)
				r = sd_bus_message_close_container(m);
		}
	}
	if (r >= 0)
		r = sd_bus_message_close_container(m);
	if (r >= 0)
		r = sd_bus_message_close_container(m);
	return r;
}

int
menu_unknown(sd_bus_error *err, int32_t id)
{
	return sd_bus_error_setf(err, SD_BUS_ERROR_INVALID_ARGS, "no menu item %d", id);
}

/* Reads an "as" argument; the strings are freed with strv_free(). */
int
menu_read_names(sd_bus_message *m, char ***names, size_t *n)
{
	int r = sd_bus_message_read_strv(m, names);
	*n = 0;
	if (r >= 0 && *names != nullptr)
		while ((*names)[*n] != nullptr)
			(*n)++;
	return r;
}

void
strv_free(char **v)
{
	if (v == nullptr)
		return;
	for (char **p = v; *p != nullptr; p++)
		free(*p);
	free(v);
}

int
menu_get_layout(sd_bus_message *call, void *, sd_bus_error *err)
{
	int32_t parent, depth;
	char **names = nullptr;
	size_t n;
	sd_bus_message *reply = nullptr;

	int r = sd_bus_message_read(call, "ii", &parent, &depth);
	if (r >= 0)
		r = menu_read_names(call, &names, &n);
	if (r < 0)
		return r;
	const menu_entry *e = menu_find(parent);
	if (parent != 0 && e == nullptr) {
		strv_free(names);
		return menu_unknown(err, parent);
	}
	prop_filter f{std::span<char *>(names, n)};
	r = sd_bus_message_new_method_return(call, &reply);
	if (r >= 0)
		r = sd_bus_message_append(reply, "u", MENU_REVISION);
	if (r >= 0)
		r = menu_append_node(reply, e, depth, f);
	if (r >= 0)
		r = sd_bus_send(nullptr, reply, nullptr);
	sd_bus_message_unref(reply);
	strv_free(names);
	return r;
}

int
menu_get_group_properties(sd_bus_message *call, void *, sd_bus_error *)
{
	const void *ids;
	size_t size, n;
	char **names = nullptr;
	sd_bus_message *reply = nullptr;

	int r = sd_bus_message_read_array(call, 'i', &ids, &size);
	if (r >= 0)
		r = menu_read_names(call, &names, &n);
	if (r < 0)
		return r;
	prop_filter f{std::span<char *>(names, n)};
	std::span<const int32_t> want(static_cast<const int32_t *>(ids), size / sizeof(int32_t));
	r = sd_bus_message_new_method_return(call, &reply);
	if (r >= 0)
		r = sd_bus_message_open_container(reply, 'a', "(ia{sv})");
	for (const auto &e : menu_entries) {
		if (r < 0)
			break;
		if (!want.empty() && std::find(want.begin(), want.end(), e.id) == want.end())
			continue;
		r = sd_bus_message_open_container(reply, 'r', "ia{sv}");
		if (r >= 0)
			r = sd_bus_message_append(reply, "i", e.id);
		if (r >= 0)
			r = menu_append_props(reply, &e, f);
		if (r >= 0)
			r = sd_bus_message_close_container(reply);
	}
	if (r >= 0)
		r = sd_bus_message_close_container(reply);
	if (r >= 0)
		r = sd_bus_send(nullptr, reply, nullptr);
	sd_bus_message_unref(reply);
	strv_free(names);
	return r;
}

int
menu_get_property(sd_bus_message *call, void *, sd_bus_error *err)
{
	int32_t id;
	const char *name;
	sd_bus_message *reply = nullptr;

	int r = sd_bus_message_read(call, "is", &id, &name);
	if (r < 0)
		return r;
	const menu_entry *e = menu_find(id);
	if (e == nullptr)
		return menu_unknown(err, id);
	int enabled = e->enabled;
	r = sd_bus_message_new_method_return(call, &reply);
	if (r < 0)
		return r;
	if (strcmp(name, "type") == 0)
		r = sd_bus_message_append(reply, "v", "s", e->type);
	else if (strcmp(name, "label") == 0 && e->label[0] != '\0')
		r = sd_bus_message_append(reply, "v", "s", e->label);
	else if (strcmp(name, "enabled") == 0)
		r = sd_bus_message_append(reply, "v", "b", enabled);
	else
		r = sd_bus_error_setf(err, SD_BUS_ERROR_INVALID_ARGS, "no property %s", name);
	if (r >= 0)
		r = sd_bus_send(nullptr, reply, nullptr);
	sd_bus_message_unref(reply);
	return r;
}

/* One event from a host: "clicked" on "Exit" ends the loop, with status 0
 * as SIGINT does. Everything else (the title, hovering, opening) does
 * nothing. False for an unknown id. */
bool
menu_event(sd_bus_message *call, int32_t id, const char *event)
{
	if (menu_find(id) == nullptr)
		return false;
	if (id == MENU_EXIT_ID && strcmp(event, "clicked") == 0) {
		vtc_log(vl, VTCLOG_INFO, "QILEC_00762: \"Exit\" chosen from the tray menu.");
		sd_event *ev = sd_bus_get_event(sd_bus_message_get_bus(call));
		if (ev != nullptr)
			(void)sd_event_exit(ev, SHELL_END_MENU);
	}
	return true;
}

int
menu_event_one(sd_bus_message *call, void *, sd_bus_error *err)
{
	int32_t id;
	const char *event;

	/* The data variant and the time stamp are not needed. */
	int r = sd_bus_message_read(call, "is", &id, &event);
	if (r < 0)
		return r;
	if (!menu_event(call, id, event))
		return menu_unknown(err, id);
	return sd_bus_reply_method_return(call, nullptr);
}

int
menu_event_group(sd_bus_message *call, void *, sd_bus_error *)
{
	sd_bus_message *reply = nullptr;

	int r = sd_bus_message_new_method_return(call, &reply);
	if (r >= 0)
		r = sd_bus_message_open_container(reply, 'a', "i");
	if (r >= 0)
		r = sd_bus_message_enter_container(call, 'a', "(isvu)");
	while (r >= 0) {
		int32_t id;
		const char *event;
		r = sd_bus_message_enter_container(call, 'r', "isvu");
		if (r <= 0)
			break;
		r = sd_bus_message_read(call, "is", &id, &event);
		if (r >= 0)
			r = sd_bus_message_skip(call, "vu");
		if (r >= 0)
			r = sd_bus_message_exit_container(call);
		if (r >= 0 && !menu_event(call, id, event))
			r = sd_bus_message_append(reply, "i", id);
	}
	if (r >= 0)
		r = sd_bus_message_exit_container(call);
	if (r >= 0)
		r = sd_bus_message_close_container(reply);
	if (r >= 0)
		r = sd_bus_send(nullptr, reply, nullptr);
	sd_bus_message_unref(reply);
	return r;
}

/* The menu never changes, so no host needs to update it. */
int
menu_about_to_show(sd_bus_message *call, void *, sd_bus_error *err)
{
	int32_t id;

	int r = sd_bus_message_read(call, "i", &id);
	if (r < 0)
		return r;
	if (id != 0 && menu_find(id) == nullptr)
		return menu_unknown(err, id);
	return sd_bus_reply_method_return(call, "b", 0);
}

int
menu_about_to_show_group(sd_bus_message *call, void *, sd_bus_error *)
{
	const void *ids;
	size_t size;
	sd_bus_message *reply = nullptr;

	int r = sd_bus_message_read_array(call, 'i', &ids, &size);
	if (r < 0)
		return r;
	r = sd_bus_message_new_method_return(call, &reply);
	if (r >= 0)
		r = sd_bus_message_append(reply, "ai", 0);
	if (r >= 0)
		r = sd_bus_message_open_container(reply, 'a', "i");
	for (int32_t id : std::span(static_cast<const int32_t *>(ids), size / sizeof(int32_t)))
		if (r >= 0 && id != 0 && menu_find(id) == nullptr)
			r = sd_bus_message_append(reply, "i", id);
	if (r >= 0)
		r = sd_bus_message_close_container(reply);
	if (r >= 0)
		r = sd_bus_send(nullptr, reply, nullptr);
	sd_bus_message_unref(reply);
	return r;
}

int
menu_get_version(sd_bus *, const char *, const char *, const char *, sd_bus_message *reply,
                 void *, sd_bus_error *)
{
	return sd_bus_message_append(reply, "u", 3);
}

int
menu_get_text(sd_bus *, const char *, const char *, const char *property,
              sd_bus_message *reply, void *, sd_bus_error *)
{
	return sd_bus_message_append(reply, "s",
	    strcmp(property, "TextDirection") == 0 ? "ltr" : "normal");
}

int
menu_get_theme_path(sd_bus *, const char *, const char *, const char *, sd_bus_message *reply,
                    void *, sd_bus_error *)
{
	return sd_bus_message_append(reply, "as", 0);
}

const sd_bus_vtable menu_vtable[] = {
	SD_BUS_VTABLE_START(0),
	SD_BUS_METHOD("GetLayout", "iias", "u(ia{sv}av)", menu_get_layout, 0),
	SD_BUS_METHOD("GetGroupProperties", "aias", "a(ia{sv})", menu_get_group_properties, 0),
	SD_BUS_METHOD("GetProperty", "is", "v", menu_get_property, 0),
	SD_BUS_METHOD("Event", "isvu", "", menu_event_one, 0),
	SD_BUS_METHOD("EventGroup", "a(isvu)", "ai", menu_event_group, 0),
	SD_BUS_METHOD("AboutToShow", "i", "b", menu_about_to_show, 0),
	SD_BUS_METHOD("AboutToShowGroup", "ai", "aiai", menu_about_to_show_group, 0),
	SD_BUS_PROPERTY("Version", "u", menu_get_version, 0, SD_BUS_VTABLE_PROPERTY_CONST),
	SD_BUS_PROPERTY("TextDirection", "s", menu_get_text, 0, SD_BUS_VTABLE_PROPERTY_CONST),
	SD_BUS_PROPERTY("Status", "s", menu_get_text, 0, SD_BUS_VTABLE_PROPERTY_CONST),
	SD_BUS_PROPERTY("IconThemePath", "as", menu_get_theme_path, 0,
	    SD_BUS_VTABLE_PROPERTY_CONST),
	SD_BUS_SIGNAL("ItemsPropertiesUpdated", "a(ia{sv})a(ias)", 0),
	SD_BUS_SIGNAL("LayoutUpdated", "ui", 0),
	SD_BUS_SIGNAL("ItemActivationRequested", "iu", 0),
	SD_BUS_VTABLE_END,
};

} // namespace

int
tray_menu_publish(sd_bus *bus, sd_bus_slot **slot)
{
	return sd_bus_add_object_vtable(bus, slot, TRAY_MENU_PATH, "com.canonical.dbusmenu",
	    menu_vtable, nullptr);
}
