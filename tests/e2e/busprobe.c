/* A second, ordinary process on the session bus, for the GNOME end-to-end tests: one that takes
 * the companion's name for itself, one that floods the companion with calls, and one that times
 * the shell's answers meanwhile.
 *
 * busprobe own NAME            takes NAME (not allowing replacement), answers Ping with 1 and
 *                              ListWindows with no window, prints "owned" once it has the name
 *                              and runs until killed
 * busprobe flood SECONDS       calls the companion for SECONDS with 32 calls in flight: SetVeil
 *                              on the windows it lists, each time with a new veil id and 64
 *                              texts of 4 KiB, then ListWindows, ListVeils and Ping, in turn;
 *                              prints "CALLS ANSWERED TIMEDOUT" at the end
 * busprobe ping SECONDS        calls the companion's Ping every 100 ms for SECONDS; prints
 *                              "CALLS MEDIAN_MS MAX_MS FAILED"
 */
#include <gio/gio.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define COMPANION "org.shieldhelper.Companion1"
#define COMPANION_PATH "/org/shieldhelper/Companion1"
#define IN_FLIGHT 32

static GDBusConnection* bus;
static GMainLoop* loop;

static const char* stand_in_xml =
    "<node><interface name='org.shieldhelper.Companion1'>"
    "<method name='Ping'><arg type='u' direction='out'/></method>"
    "<method name='ListWindows'><arg type='a(tisddddiibbd)' direction='out'/></method>"
    "</interface></node>";

static void stand_in_call(GDBusConnection* connection, const gchar* sender, const gchar* path,
                          const gchar* interface, const gchar* method, GVariant* parameters,
                          GDBusMethodInvocation* invocation, gpointer data) {
    (void)connection, (void)sender, (void)path, (void)interface, (void)parameters, (void)data;
    if (strcmp(method, "Ping") == 0) {
        g_dbus_method_invocation_return_value(invocation, g_variant_new("(u)", 1));
    } else {
        g_dbus_method_invocation_return_value(invocation,
                                              g_variant_new_parsed("(@a(tisddddiibbd) [],)"));
    }
}

static void owned(GDBusConnection* connection, const gchar* name, gpointer data) {
    (void)connection, (void)name, (void)data;
    printf("owned\n");
    fflush(stdout);
}

static int own(const char* name) {
    GDBusNodeInfo* info = g_dbus_node_info_new_for_xml(stand_in_xml, NULL);
    static const GDBusInterfaceVTable vtable = {stand_in_call, NULL, NULL, {0}};
    g_dbus_connection_register_object(bus, COMPANION_PATH, info->interfaces[0], &vtable, NULL, NULL,
                                      NULL);
    g_bus_own_name_on_connection(bus, name, G_BUS_NAME_OWNER_FLAGS_NONE, owned, NULL, NULL, NULL);
    g_main_loop_run(loop);
    return 0;
}

static gint64 flood_end;
static long sent, answered, timed_out;
static guint64 next_veil = 1000000;
static char* big_text;
static long chains_done;
static guint64 windows[256];
static int window_count;

static void send_one(void);

static void flood_reply(GObject* source, GAsyncResult* result, gpointer data) {
    (void)data;
    GError* error = NULL;
    GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
    if (reply != NULL) {
        ++answered;
        g_variant_unref(reply);
    } else {
        if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT)) {
            ++timed_out;
        }
        g_error_free(error);
    }
    if (g_get_monotonic_time() < flood_end) {
        send_one();
    } else if (++chains_done == IN_FLIGHT) {
        g_main_loop_quit(loop);
    }
}

static void send_one(void) {
    const char* method = NULL;
    GVariant* parameters = NULL;
    switch (sent % 4) {
        case 0: {
            GVariantBuilder texts;
            g_variant_builder_init(&texts, G_VARIANT_TYPE("a(sds(dddd)(dddd))"));
            for (int i = 0; i < 64; ++i) {
                g_variant_builder_add(&texts, "(sds(dddd)(dddd))", big_text, 40.0, "semibold", 1.0,
                                      1.0, 1.0, 1.0, 0.0, 0.0, 4000.0, 4000.0);
            }
            method = "SetVeil";
            guint64 window = window_count ? windows[sent / 4 % window_count] : 0;
            parameters = g_variant_new("(tt(dddd)(dddd)a(sds(dddd)(dddd)))", next_veil++, window,
                                       0.0, 0.0, 30000.0, 30000.0, 0.1, 0.1, 0.1, 1.0, &texts);
            break;
        }
        case 1:
            method = "ListWindows";
            break;
        case 2:
            method = "ListVeils";
            break;
        default:
            method = "Ping";
            break;
    }
    ++sent;
    g_dbus_connection_call(bus, COMPANION, COMPANION_PATH, COMPANION, method, parameters, NULL,
                           G_DBUS_CALL_FLAGS_NO_AUTO_START, 5000, NULL, flood_reply, NULL);
}

static int flood(double seconds) {
    big_text = g_malloc(4097);
    memset(big_text, 'x', 4096);
    big_text[4096] = '\0';
    GVariant* list =
        g_dbus_connection_call_sync(bus, COMPANION, COMPANION_PATH, COMPANION, "ListWindows", NULL,
                                    NULL, G_DBUS_CALL_FLAGS_NO_AUTO_START, 5000, NULL, NULL);
    if (list != NULL) {
        GVariant* items = g_variant_get_child_value(list, 0);
        for (gsize i = 0; i < g_variant_n_children(items) && window_count < 256; ++i) {
            GVariant* item = g_variant_get_child_value(items, i);
            g_variant_get_child(item, 0, "t", &windows[window_count++]);
            g_variant_unref(item);
        }
        g_variant_unref(items);
        g_variant_unref(list);
    }
    flood_end = g_get_monotonic_time() + (gint64)(seconds * 1e6);
    for (int i = 0; i < IN_FLIGHT; ++i) {
        send_one();
    }
    g_main_loop_run(loop);
    printf("%ld %ld %ld\n", sent, answered, timed_out);
    return 0;
}

static int compare(const void* a, const void* b) {
    double x = *(const double*)a, y = *(const double*)b;
    return x < y ? -1 : x > y;
}

static int ping(double seconds) {
    gint64 end = g_get_monotonic_time() + (gint64)(seconds * 1e6);
    double latencies[10000];
    int count = 0, failed = 0;
    while (g_get_monotonic_time() < end && count < 10000) {
        gint64 start = g_get_monotonic_time();
        GError* error = NULL;
        GVariant* reply = g_dbus_connection_call_sync(
            bus, COMPANION, COMPANION_PATH, COMPANION, "Ping", NULL, G_VARIANT_TYPE("(u)"),
            G_DBUS_CALL_FLAGS_NO_AUTO_START, 5000, NULL, &error);
        double ms = (double)(g_get_monotonic_time() - start) / 1000.0;
        if (reply != NULL) {
            g_variant_unref(reply);
        } else {
            ++failed;
            g_error_free(error);
        }
        latencies[count++] = ms;
        g_usleep(100000);
    }
    qsort(latencies, (size_t)count, sizeof latencies[0], compare);
    printf("%d %.1f %.1f %d\n", count, count ? latencies[count / 2] : 0.0,
           count ? latencies[count - 1] : 0.0, failed);
    return 0;
}

int main(int argc, char** argv) {
    GError* error = NULL;
    bus = g_bus_get_sync(G_BUS_TYPE_SESSION, NULL, &error);
    if (bus == NULL) {
        fprintf(stderr, "busprobe: no session bus: %s\n", error->message);
        return 1;
    }
    loop = g_main_loop_new(NULL, FALSE);
    if (argc == 3 && strcmp(argv[1], "own") == 0) {
        return own(argv[2]);
    }
    if (argc == 3 && strcmp(argv[1], "flood") == 0) {
        return flood(atof(argv[2]));
    }
    if (argc == 3 && strcmp(argv[1], "ping") == 0) {
        return ping(atof(argv[2]));
    }
    fprintf(stderr, "usage: busprobe own NAME | flood SECONDS | ping SECONDS\n");
    return 2;
}
