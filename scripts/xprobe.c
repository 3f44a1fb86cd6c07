/* A small X client for the demo, the X11 benchmarks and the end-to-end tests: reads the
 * top-level windows and the screen's pixels, waits for a window manager that manages windows,
 * opens plain windows of a chosen class, and times how long a shield takes to follow a window
 * that moves.
 *
 * xprobe state                 one line per viewable top-level, bottom to top:
 *                              "FRAME X Y W H CLASS" (CLASS "-" when no client inside has one)
 * xprobe json                  one JSON object: the root's direct children bottom to top, with
 *                              geometry, map state and the client windows (those with WM_CLASS)
 *                              inside each, plus the window manager's lists
 * xprobe pixels X Y W H        the root's pixels in that rectangle, as one JSON object with RGB
 *                              hex
 * xprobe wait-wm SECONDS       prints "managed" once a window manager has claimed the screen
 *                              and has reparented a probe window, then stays connected until
 *                              killed (exit status 1 on timeout)
 * xprobe owner SELECTION      prints the window that owns SELECTION, 0 for none
 * xprobe windows CLASS W H N   opens N windows of W x H in a grid and keeps them until killed
 * xprobe moves CLASS N GAP_MS FIRST
 *                              moves the first window of CLASS N times with the same request
 *                              xdotool windowmove sends, to the positions numbered FIRST on
 *                              (any two in a row differ), and prints per move the milliseconds
 *                              until its frame moved and until the shield above it matched the
 *                              new frame: "MOVE WM_MS SHIELD_MS" (-1: not within 5 s)
 * xprobe watch                 prints "ready", then one line per change of a top-level as the
 *                              server reports it, until its input ends: "MS configure WINDOW X
 *                              Y W H", "MS map WINDOW", "MS unmap WINDOW", "MS destroy WINDOW"
 *                              (MS counted from "ready"), to see changes too brief to poll
 */
#define _POSIX_C_SOURCE 200809L
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>
#include <xcb/xcb.h>

#define SHIELD_CLASS "ShieldHelper"
#define MAX_TOPLEVELS 4096

static xcb_connection_t* c;
static xcb_screen_t* screen;

static double now_ms(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec * 1000.0 + (double)t.tv_nsec / 1e6;
}

static xcb_atom_t intern(const char* name) {
    xcb_intern_atom_reply_t* reply =
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, (uint16_t)strlen(name), name), NULL);
    xcb_atom_t atom = reply ? reply->atom : XCB_ATOM_NONE;
    free(reply);
    return atom;
}

struct toplevel {
    xcb_window_t frame, client;
    int x, y, w, h;
    char cls[128];
};

/* One window below a top-level, read while looking for the client inside it. */
struct node {
    xcb_window_t window;
    int first_child, child_count; /* indices into the node array; count -1: not read */
    int has_class;
    char cls[128];
};

static struct node* nodes;
static int node_count, node_capacity;

static int add_node(xcb_window_t window) {
    if (node_count == node_capacity) {
        node_capacity = node_capacity ? node_capacity * 2 : 4096;
        nodes = realloc(nodes, (size_t)node_capacity * sizeof *nodes);
        if (nodes == NULL) {
            fprintf(stderr, "xprobe: out of memory\n");
            exit(1);
        }
    }
    struct node* n = &nodes[node_count];
    n->window = window;
    n->first_child = 0;
    n->child_count = -1;
    n->has_class = 0;
    n->cls[0] = '\0';
    return node_count++;
}

/* Stores the class part of WM_CLASS (instance and class, each ended by a NUL). */
static void take_class(struct node* n, xcb_get_property_reply_t* p) {
    if (p == NULL || p->format != 8 || xcb_get_property_value_length(p) <= 0) {
        return;
    }
    const char* value = xcb_get_property_value(p);
    int length = xcb_get_property_value_length(p);
    int instance = (int)strnlen(value, (size_t)length);
    int start = instance + 1 < length ? instance + 1 : 0;
    int size = (int)strnlen(value + start, (size_t)(length - start));
    if ((size_t)size >= sizeof n->cls) {
        size = (int)sizeof n->cls - 1;
    }
    memcpy(n->cls, value + start, (size_t)size);
    n->cls[size] = '\0';
    n->has_class = 1;
}

/* Reads the windows below the nodes [begin, end) one level at a time, three levels deep at
 * most, with every level's requests sent before any reply is awaited: a probe of thousands of
 * top-levels then costs the server a few batches, not one round trip per window. */
static void read_levels(int begin, int end) {
    for (int depth = 0; depth <= 3 && begin < end; ++depth) {
        int count = end - begin;
        xcb_get_property_cookie_t* classes = malloc((size_t)count * sizeof *classes);
        xcb_query_tree_cookie_t* trees = malloc((size_t)count * sizeof *trees);
        if (classes == NULL || trees == NULL) {
            fprintf(stderr, "xprobe: out of memory\n");
            exit(1);
        }
        for (int i = 0; i < count; ++i) {
            xcb_window_t w = nodes[begin + i].window;
            classes[i] = xcb_get_property(c, 0, w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 0, 256);
            if (depth < 3) {
                trees[i] = xcb_query_tree(c, w);
            }
        }
        for (int i = 0; i < count; ++i) {
            xcb_get_property_reply_t* p = xcb_get_property_reply(c, classes[i], NULL);
            take_class(&nodes[begin + i], p);
            free(p);
            if (depth == 3) {
                continue;
            }
            xcb_query_tree_reply_t* tree = xcb_query_tree_reply(c, trees[i], NULL);
            /* A window with a class is the client: what lies below it is not looked at. */
            if (tree != NULL && !nodes[begin + i].has_class) {
                xcb_window_t* children = xcb_query_tree_children(tree);
                int n = xcb_query_tree_children_length(tree);
                int first = node_count;
                for (int k = 0; k < n; ++k) {
                    add_node(children[k]);
                }
                nodes[begin + i].first_child = first;
                nodes[begin + i].child_count = n;
            }
            free(tree);
        }
        free(classes);
        free(trees);
        begin = end;
        end = node_count;
    }
}

/* The first node at or below `i` with a class, depth first in stacking order; -1 for none. */
static int first_with_class(int i) {
    if (nodes[i].has_class) {
        return i;
    }
    for (int k = 0; k < nodes[i].child_count; ++k) {
        int found = first_with_class(nodes[i].first_child + k);
        if (found >= 0) {
            return found;
        }
    }
    return -1;
}

/* The viewable top-levels, bottom to top. */
static int read_toplevels(struct toplevel* out, int max) {
    xcb_query_tree_reply_t* tree = xcb_query_tree_reply(c, xcb_query_tree(c, screen->root), NULL);
    if (tree == NULL) {
        return 0;
    }
    xcb_window_t* children = xcb_query_tree_children(tree);
    int n = xcb_query_tree_children_length(tree);
    xcb_get_window_attributes_cookie_t* attributes = malloc((size_t)n * sizeof *attributes);
    xcb_get_geometry_cookie_t* geometries = malloc((size_t)n * sizeof *geometries);
    if (n > 0 && (attributes == NULL || geometries == NULL)) {
        fprintf(stderr, "xprobe: out of memory\n");
        exit(1);
    }
    for (int i = 0; i < n; ++i) {
        attributes[i] = xcb_get_window_attributes(c, children[i]);
        geometries[i] = xcb_get_geometry(c, children[i]);
    }
    node_count = 0;
    int count = 0;
    for (int i = 0; i < n; ++i) {
        xcb_get_window_attributes_reply_t* a =
            xcb_get_window_attributes_reply(c, attributes[i], NULL);
        xcb_get_geometry_reply_t* g = xcb_get_geometry_reply(c, geometries[i], NULL);
        if (a != NULL && g != NULL && a->map_state == XCB_MAP_STATE_VIEWABLE && count < max) {
            struct toplevel* t = &out[count++];
            t->frame = children[i];
            t->client = XCB_NONE;
            t->x = g->x;
            t->y = g->y;
            t->w = g->width + 2 * g->border_width;
            t->h = g->height + 2 * g->border_width;
            add_node(children[i]); /* node k is top-level k */
        }
        free(a);
        free(g);
    }
    free(attributes);
    free(geometries);
    free(tree);
    read_levels(0, node_count);
    for (int i = 0; i < count; ++i) {
        int found = first_with_class(i);
        if (found >= 0) {
            strcpy(out[i].cls, nodes[found].cls);
            out[i].client = nodes[found].window;
        } else {
            strcpy(out[i].cls, "-");
        }
    }
    return count;
}

static int print_state(void) {
    static struct toplevel list[MAX_TOPLEVELS];
    int n = read_toplevels(list, MAX_TOPLEVELS);
    for (int i = 0; i < n; ++i) {
        printf("%u %d %d %d %d %s\n", list[i].frame, list[i].x, list[i].y, list[i].w, list[i].h,
               list[i].cls);
    }
    return 0;
}

/* Waits for the next event up to `deadline` (monotonic milliseconds); NULL on timeout. */
static xcb_generic_event_t* next_event(double deadline) {
    for (;;) {
        xcb_generic_event_t* e = xcb_poll_for_event(c);
        if (e != NULL) {
            return e;
        }
        if (xcb_connection_has_error(c)) {
            fprintf(stderr, "xprobe: lost the display\n");
            exit(1);
        }
        double remaining = deadline - now_ms();
        if (remaining <= 0) {
            return NULL;
        }
        struct pollfd fd = {xcb_get_file_descriptor(c), POLLIN, 0};
        poll(&fd, 1, (int)remaining + 1);
    }
}

static int wm_running(xcb_atom_t check) {
    xcb_get_property_reply_t* p = xcb_get_property_reply(
        c, xcb_get_property(c, 0, screen->root, check, XCB_ATOM_WINDOW, 0, 1), NULL);
    int running = 0;
    if (p != NULL && p->format == 32 && xcb_get_property_value_length(p) >= 4) {
        xcb_window_t w = *(xcb_window_t*)xcb_get_property_value(p);
        xcb_get_property_reply_t* own = xcb_get_property_reply(
            c, xcb_get_property(c, 0, w, check, XCB_ATOM_WINDOW, 0, 1), NULL);
        running = own != NULL && own->format == 32 && xcb_get_property_value_length(own) >= 4 &&
                  *(xcb_window_t*)xcb_get_property_value(own) == w;
        free(own);
    }
    free(p);
    return running;
}

static xcb_get_property_reply_t* property(xcb_window_t w, xcb_atom_t atom) {
    return xcb_get_property_reply(
        c, xcb_get_property(c, 0, w, atom, XCB_GET_PROPERTY_TYPE_ANY, 0, 65536), NULL);
}

static void print_json_string(const char* s, int length) {
    putchar('"');
    for (int i = 0; i < length && s[i] != '\0'; ++i) {
        unsigned char ch = (unsigned char)s[i];
        if (ch == '"' || ch == '\\') {
            printf("\\%c", ch);
        } else if (ch < 0x20) {
            printf("\\u%04x", ch);
        } else {
            putchar(ch);
        }
    }
    putchar('"');
}

static void print_window_list(xcb_atom_t atom) {
    xcb_get_property_reply_t* reply = property(screen->root, atom);
    printf("[");
    if (reply != NULL && reply->format == 32) {
        uint32_t* items = xcb_get_property_value(reply);
        int n = xcb_get_property_value_length(reply) / 4;
        for (int i = 0; i < n; ++i) {
            printf("%s%u", i ? "," : "", items[i]);
        }
    }
    printf("]");
    free(reply);
}

static int print_clients(xcb_window_t w, int depth, int first, xcb_atom_t wm_state,
                         xcb_atom_t net_wm_state) {
    xcb_get_property_reply_t* cls = property(w, XCB_ATOM_WM_CLASS);
    if (cls != NULL && cls->format == 8 && xcb_get_property_value_length(cls) > 0) {
        const char* value = xcb_get_property_value(cls);
        int length = xcb_get_property_value_length(cls);
        int instance_length = (int)strnlen(value, (size_t)length);
        xcb_get_geometry_reply_t* g = xcb_get_geometry_reply(c, xcb_get_geometry(c, w), NULL);
        xcb_translate_coordinates_reply_t* t = xcb_translate_coordinates_reply(
            c, xcb_translate_coordinates(c, w, screen->root, 0, 0), NULL);
        xcb_get_window_attributes_reply_t* a =
            xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, w), NULL);
        xcb_get_property_reply_t* state = property(w, wm_state);
        xcb_get_property_reply_t* net_state = property(w, net_wm_state);
        printf("%s{\"id\":%u,\"instance\":", first ? "" : ",", w);
        print_json_string(value, instance_length);
        printf(",\"class\":");
        if (instance_length + 1 < length) {
            print_json_string(value + instance_length + 1, length - instance_length - 1);
        } else {
            printf("\"\"");
        }
        printf(
            ",\"x\":%d,\"y\":%d,\"w\":%d,\"h\":%d,\"viewable\":%s,\"wm_state\":%d,"
            "\"net_wm_state\":[",
            t ? t->dst_x : 0, t ? t->dst_y : 0, g ? g->width : 0, g ? g->height : 0,
            a && a->map_state == XCB_MAP_STATE_VIEWABLE ? "true" : "false",
            state && state->format == 32 && xcb_get_property_value_length(state) >= 4
                ? (int)((uint32_t*)xcb_get_property_value(state))[0]
                : -1);
        if (net_state != NULL && net_state->format == 32) {
            uint32_t* items = xcb_get_property_value(net_state);
            int n = xcb_get_property_value_length(net_state) / 4;
            for (int i = 0; i < n; ++i) {
                xcb_get_atom_name_reply_t* name =
                    xcb_get_atom_name_reply(c, xcb_get_atom_name(c, items[i]), NULL);
                if (i) {
                    putchar(',');
                }
                print_json_string(name ? xcb_get_atom_name_name(name) : "",
                                  name ? xcb_get_atom_name_name_length(name) : 0);
                free(name);
            }
        }
        printf("]}");
        free(g);
        free(t);
        free(a);
        int managed = state != NULL && state->format == 32;
        free(state);
        free(net_state);
        free(cls);
        /* A window manager's frame may carry a class of its own (i3): the client it holds,
         * the one with WM_STATE, is inside it. */
        if (managed || depth >= 3) {
            return 0;
        }
        first = 0;
    } else {
        free(cls);
    }
    if (depth >= 3) {
        return first;
    }
    xcb_query_tree_reply_t* tree = xcb_query_tree_reply(c, xcb_query_tree(c, w), NULL);
    if (tree != NULL) {
        xcb_window_t* children = xcb_query_tree_children(tree);
        int n = xcb_query_tree_children_length(tree);
        for (int i = 0; i < n; ++i) {
            first = print_clients(children[i], depth + 1, first, wm_state, net_wm_state);
        }
        free(tree);
    }
    return first;
}

static int print_pixels(int x, int y, int w, int h) {
    xcb_get_image_reply_t* image =
        xcb_get_image_reply(c,
                            xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, screen->root, (int16_t)x,
                                          (int16_t)y, (uint16_t)w, (uint16_t)h, ~0u),
                            NULL);
    if (image == NULL) {
        fprintf(stderr, "xprobe: GetImage failed\n");
        return 1;
    }
    /* Depth 24 TrueColor in 32 bits per pixel, little-endian, as Xvfb serves it. */
    const uint8_t* data = xcb_get_image_data(image);
    int length = xcb_get_image_data_length(image);
    int stride = length / h;
    printf("{\"w\":%d,\"h\":%d,\"rgb\":\"", w, h);
    for (int row = 0; row < h; ++row) {
        for (int col = 0; col < w; ++col) {
            const uint8_t* p = data + row * stride + col * 4;
            printf("%02x%02x%02x", p[2], p[1], p[0]);
        }
    }
    printf("\"}\n");
    free(image);
    return 0;
}

static int print_json(void) {
    xcb_atom_t wm_state = intern("WM_STATE");
    xcb_atom_t net_wm_state = intern("_NET_WM_STATE");
    xcb_get_property_reply_t* active = property(screen->root, intern("_NET_ACTIVE_WINDOW"));
    xcb_get_input_focus_reply_t* focus = xcb_get_input_focus_reply(c, xcb_get_input_focus(c), NULL);
    int wm = wm_running(intern("_NET_SUPPORTING_WM_CHECK"));
    printf("{\"wm\":%s,\"root\":[%d,%d],\"active\":%u,\"focus\":%u,\"stacking\":",
           wm ? "true" : "false", screen->width_in_pixels, screen->height_in_pixels,
           active && active->format == 32 && xcb_get_property_value_length(active) >= 4
               ? ((uint32_t*)xcb_get_property_value(active))[0]
               : 0,
           focus ? focus->focus : 0);
    free(active);
    free(focus);
    print_window_list(intern("_NET_CLIENT_LIST_STACKING"));
    printf(",\"toplevels\":[");
    xcb_query_tree_reply_t* tree = xcb_query_tree_reply(c, xcb_query_tree(c, screen->root), NULL);
    xcb_window_t* children = xcb_query_tree_children(tree);
    int n = xcb_query_tree_children_length(tree);
    int printed = 0;
    for (int i = 0; i < n; ++i) {
        xcb_get_window_attributes_reply_t* a =
            xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, children[i]), NULL);
        xcb_get_geometry_reply_t* g =
            xcb_get_geometry_reply(c, xcb_get_geometry(c, children[i]), NULL);
        if (a == NULL || g == NULL) {
            free(a);
            free(g);
            continue;
        }
        printf(
            "%s{\"id\":%u,\"viewable\":%s,\"override\":%s,\"x\":%d,\"y\":%d,\"w\":%d,\"h\":%d,"
            "\"clients\":[",
            printed++ ? "," : "", children[i],
            a->map_state == XCB_MAP_STATE_VIEWABLE ? "true" : "false",
            a->override_redirect ? "true" : "false", g->x, g->y, g->width + 2 * g->border_width,
            g->height + 2 * g->border_width);
        print_clients(children[i], 0, 1, wm_state, net_wm_state);
        printf("]}");
        free(a);
        free(g);
    }
    printf("]}\n");
    free(tree);
    return 0;
}

/* Window managers announce themselves before they manage windows, and a window mapped in
 * between can stay unmanaged; so a probe window is mapped until one gets reparented. */
static int wait_wm(double seconds) {
    double deadline = now_ms() + seconds * 1000.0;
    xcb_atom_t check = intern("_NET_SUPPORTING_WM_CHECK");
    uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_change_window_attributes(c, screen->root, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(c);
    while (!wm_running(check)) {
        xcb_generic_event_t* e = next_event(deadline);
        if (e == NULL) {
            return 1;
        }
        free(e);
    }
    while (now_ms() < deadline) {
        xcb_window_t w = xcb_generate_id(c);
        uint32_t values[] = {XCB_EVENT_MASK_STRUCTURE_NOTIFY};
        xcb_create_window(c, XCB_COPY_FROM_PARENT, w, screen->root, 0, 0, 50, 50, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, XCB_CW_EVENT_MASK,
                          values);
        xcb_map_window(c, w);
        xcb_flush(c);
        double attempt = now_ms() + 1000.0;
        int managed = 0;
        xcb_generic_event_t* e;
        while (!managed && (e = next_event(attempt < deadline ? attempt : deadline)) != NULL) {
            managed = (e->response_type & 0x7f) == XCB_REPARENT_NOTIFY;
            free(e);
        }
        xcb_destroy_window(c, w);
        xcb_flush(c);
        if (managed) {
            /* The server hands a closed connection's window ids to the next client, and a
             * window manager that still remembers a probe then takes a new window for it (seen
             * with openbox: a client's window managed at the probe's size). So this connection
             * stays open, holding its ids, until it is killed. */
            printf("managed\n");
            fflush(stdout);
            while ((e = xcb_wait_for_event(c)) != NULL) {
                free(e);
            }
            return 0;
        }
    }
    return 1;
}

static int open_windows(const char* cls, int width, int height, int count) {
    char wm_class[256];
    int length = snprintf(wm_class, sizeof wm_class, "xprobe%c%s", '\0', cls) + 1;
    int columns = screen->width_in_pixels / (width + 10);
    if (columns < 1) {
        columns = 1;
    }
    for (int i = 0; i < count; ++i) {
        int x = 10 + (i % columns) * (width + 10);
        int y = 10 + (i / columns) * (height + 30);
        uint32_t values[] = {0x4a7ab0};
        xcb_window_t w = xcb_generate_id(c);
        xcb_create_window(c, XCB_COPY_FROM_PARENT, w, screen->root, (int16_t)x, (int16_t)y,
                          (uint16_t)width, (uint16_t)height, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                          screen->root_visual, XCB_CW_BACK_PIXEL, values);
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8,
                            (uint32_t)length, wm_class);
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                            (uint32_t)strlen(cls), cls);
        uint32_t pid = (uint32_t)getpid();
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, intern("_NET_WM_PID"), XCB_ATOM_CARDINAL,
                            32, 1, &pid);
        /* Placed where asked, even under a window manager. */
        uint32_t hints[18] = {0};
        hints[0] = 1 | 2 | 4 | 8; /* USPosition | USSize | PPosition | PSize */
        hints[1] = (uint32_t)x;
        hints[2] = (uint32_t)y;
        hints[3] = (uint32_t)width;
        hints[4] = (uint32_t)height;
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, XCB_ATOM_WM_NORMAL_HINTS,
                            XCB_ATOM_WM_SIZE_HINTS, 32, 18, hints);
        xcb_map_window(c, w);
    }
    xcb_flush(c);
    xcb_generic_event_t* e;
    while ((e = xcb_wait_for_event(c)) != NULL) {
        free(e);
    }
    return 0;
}

static int same_rect(const struct toplevel* a, const struct toplevel* b) {
    return a->x == b->x && a->y == b->y && a->w == b->w && a->h == b->h;
}

/* Applies a ConfigureNotify the root reports for one of the two watched top-levels; returns
 * whether the event was one. Synthetic events (sent by window managers to clients) are skipped:
 * the server's own events for direct children of the root carry root coordinates. */
static int track(xcb_generic_event_t* e, struct toplevel* target, struct toplevel* shield) {
    if ((e->response_type & 0x7f) != XCB_CONFIGURE_NOTIFY || (e->response_type & 0x80)) {
        return 0;
    }
    xcb_configure_notify_event_t* ce = (xcb_configure_notify_event_t*)e;
    struct toplevel* t = ce->window == target->frame   ? target
                         : ce->window == shield->frame ? shield
                                                       : NULL;
    if (t == NULL || ce->event != screen->root) {
        return 0;
    }
    t->x = ce->x;
    t->y = ce->y;
    t->w = ce->width + 2 * ce->border_width;
    t->h = ce->height + 2 * ce->border_width;
    return 1;
}

static int time_moves(const char* cls, int moves, int gap_ms, int first) {
    static struct toplevel list[MAX_TOPLEVELS];
    /* Events first, then state: a change in between is not lost. */
    uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(c, screen->root, XCB_CW_EVENT_MASK, &mask);
    int n = read_toplevels(list, MAX_TOPLEVELS);
    struct toplevel target = {0}, shield = {0};
    for (int i = 0; i < n; ++i) {
        if (target.frame == XCB_NONE && strcmp(list[i].cls, cls) == 0) {
            target = list[i];
        } else if (target.frame != XCB_NONE && strcmp(list[i].cls, SHIELD_CLASS) == 0 &&
                   same_rect(&list[i], &target)) {
            shield = list[i];
            break;
        }
    }
    if (target.frame == XCB_NONE || shield.frame == XCB_NONE) {
        fprintf(stderr, "xprobe: no %s window with a shield over it\n", cls);
        return 1;
    }
    /* The client's position relative to its frame, to ask for whole-frame positions. */
    xcb_translate_coordinates_reply_t* offset = xcb_translate_coordinates_reply(
        c, xcb_translate_coordinates(c, target.client, target.frame, 0, 0), NULL);
    int dx = offset ? offset->dst_x : 0, dy = offset ? offset->dst_y : 0;
    free(offset);
    for (int m = first; m < first + moves; ++m) {
        int x = 60 + (m % 2) * 320 + (m % 7) * 9;
        int y = 60 + (m % 3) * 90 + (m % 5) * 7;
        struct toplevel before = target;
        uint32_t values[] = {(uint32_t)(x + dx), (uint32_t)(y + dy)};
        double t0 = now_ms();
        xcb_configure_window(c, target.client, XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y, values);
        xcb_flush(c);
        double deadline = t0 + 5000.0, wm_at = -1, shield_at = -1;
        while (shield_at < 0) {
            xcb_generic_event_t* e = next_event(deadline);
            if (e == NULL) {
                break;
            }
            if (track(e, &target, &shield)) {
                double at = now_ms() - t0;
                if (wm_at < 0 && !same_rect(&target, &before)) {
                    wm_at = at;
                }
                if (wm_at >= 0 && same_rect(&shield, &target)) {
                    shield_at = at;
                }
            }
            free(e);
        }
        printf("%d %.3f %.3f\n", m, wm_at, shield_at);
        fflush(stdout);
        if (shield_at < 0) {
            fprintf(stderr, "xprobe: move %d: frame at %d,%d %dx%d, shield at %d,%d %dx%d\n", m,
                    target.x, target.y, target.w, target.h, shield.x, shield.y, shield.w, shield.h);
            /* Start the next move from what the server holds now. */
            n = read_toplevels(list, MAX_TOPLEVELS);
            for (int i = 0; i < n; ++i) {
                if (list[i].frame == target.frame) {
                    target = list[i];
                } else if (list[i].frame == shield.frame) {
                    shield = list[i];
                }
            }
        }
        double pause_until = now_ms() + gap_ms;
        xcb_generic_event_t* e;
        while ((e = next_event(pause_until)) != NULL) {
            /* Late events (for example the shield's restacking) still update the picture. */
            track(e, &target, &shield);
            free(e);
        }
    }
    return 0;
}

static int watch(void) {
    uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(c, screen->root, XCB_CW_EVENT_MASK, &mask);
    free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), NULL));
    double start = now_ms();
    printf("ready\n");
    fflush(stdout);
    for (;;) {
        xcb_generic_event_t* e;
        while ((e = xcb_poll_for_event(c)) != NULL) {
            double at = now_ms() - start;
            uint8_t type = e->response_type & 0x7f;
            if (type == XCB_CONFIGURE_NOTIFY && !(e->response_type & 0x80)) {
                xcb_configure_notify_event_t* ce = (xcb_configure_notify_event_t*)e;
                if (ce->event == screen->root) {
                    printf("%.3f configure %u %d %d %d %d\n", at, ce->window, ce->x, ce->y,
                           ce->width + 2 * ce->border_width, ce->height + 2 * ce->border_width);
                }
            } else if (type == XCB_MAP_NOTIFY) {
                xcb_map_notify_event_t* me = (xcb_map_notify_event_t*)e;
                printf("%.3f map %u\n", at, me->window);
            } else if (type == XCB_UNMAP_NOTIFY) {
                xcb_unmap_notify_event_t* ue = (xcb_unmap_notify_event_t*)e;
                printf("%.3f unmap %u\n", at, ue->window);
            } else if (type == XCB_DESTROY_NOTIFY) {
                xcb_destroy_notify_event_t* de = (xcb_destroy_notify_event_t*)e;
                printf("%.3f destroy %u\n", at, de->window);
            }
            free(e);
        }
        fflush(stdout);
        if (xcb_connection_has_error(c)) {
            fprintf(stderr, "xprobe: lost the display\n");
            return 1;
        }
        struct pollfd fds[2] = {{xcb_get_file_descriptor(c), POLLIN, 0}, {0, POLLIN, 0}};
        poll(fds, 2, -1);
        if (fds[1].revents != 0) {
            char buffer[256];
            if (read(0, buffer, sizeof buffer) <= 0) {
                return 0;
            }
        }
    }
}

int main(int argc, char** argv) {
    c = xcb_connect(NULL, NULL);
    if (xcb_connection_has_error(c)) {
        fprintf(stderr, "xprobe: cannot connect to the display\n");
        return 1;
    }
    screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    if (argc == 2 && strcmp(argv[1], "state") == 0) {
        return print_state();
    }
    if (argc == 2 && strcmp(argv[1], "json") == 0) {
        return print_json();
    }
    if (argc == 6 && strcmp(argv[1], "pixels") == 0) {
        return print_pixels(atoi(argv[2]), atoi(argv[3]), atoi(argv[4]), atoi(argv[5]));
    }
    if (argc == 3 && strcmp(argv[1], "wait-wm") == 0) {
        return wait_wm(atof(argv[2]));
    }
    if (argc == 3 && strcmp(argv[1], "owner") == 0) {
        xcb_get_selection_owner_reply_t* owner =
            xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, intern(argv[2])), NULL);
        printf("%u\n", owner ? owner->owner : 0);
        free(owner);
        return 0;
    }
    if (argc == 6 && strcmp(argv[1], "windows") == 0) {
        return open_windows(argv[2], atoi(argv[3]), atoi(argv[4]), atoi(argv[5]));
    }
    if (argc == 6 && strcmp(argv[1], "moves") == 0) {
        return time_moves(argv[2], atoi(argv[3]), atoi(argv[4]), atoi(argv[5]));
    }
    if (argc == 2 && strcmp(argv[1], "watch") == 0) {
        return watch();
    }
    fprintf(stderr,
            "usage: xprobe state | json | pixels X Y W H | wait-wm SECONDS | owner SELECTION | "
            "windows CLASS W H N | moves CLASS N GAP_MS FIRST | watch\n");
    return 2;
}
