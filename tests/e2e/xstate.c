/* Reads the X server's state for the end-to-end tests and prints it as one JSON object: the
 * root's direct children bottom to top, with geometry, map state and the client windows
 * (those with WM_CLASS) inside each, plus the window manager's lists. With "pixels X Y W H"
 * it prints the root's pixels in that rectangle instead, as RGB hex.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <xcb/xcb.h>

static xcb_connection_t* c;
static xcb_window_t root;

static xcb_atom_t intern(const char* name) {
    xcb_intern_atom_reply_t* reply =
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, (uint16_t)strlen(name), name), NULL);
    xcb_atom_t atom = reply ? reply->atom : XCB_ATOM_NONE;
    free(reply);
    return atom;
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
    xcb_get_property_reply_t* reply = property(root, atom);
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
            c, xcb_translate_coordinates(c, w, root, 0, 0), NULL);
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
        printf(",\"x\":%d,\"y\":%d,\"w\":%d,\"h\":%d,\"viewable\":%s,\"wm_state\":%d,"
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
        free(state);
        free(net_state);
        free(cls);
        return 0;
    }
    free(cls);
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
    xcb_get_image_reply_t* image = xcb_get_image_reply(
        c, xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, root, (int16_t)x, (int16_t)y, (uint16_t)w,
                         (uint16_t)h, ~0u),
        NULL);
    if (image == NULL) {
        fprintf(stderr, "xstate: GetImage failed\n");
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

int main(int argc, char** argv) {
    c = xcb_connect(NULL, NULL);
    if (xcb_connection_has_error(c)) {
        fprintf(stderr, "xstate: cannot connect to the display\n");
        return 1;
    }
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    root = screen->root;
    if (argc == 6 && strcmp(argv[1], "pixels") == 0) {
        return print_pixels(atoi(argv[2]), atoi(argv[3]), atoi(argv[4]), atoi(argv[5]));
    }
    xcb_atom_t wm_state = intern("WM_STATE");
    xcb_atom_t net_wm_state = intern("_NET_WM_STATE");
    xcb_get_property_reply_t* active = property(root, intern("_NET_ACTIVE_WINDOW"));
    xcb_get_input_focus_reply_t* focus =
        xcb_get_input_focus_reply(c, xcb_get_input_focus(c), NULL);
    /* A window manager runs when the check window names itself. */
    xcb_atom_t check_atom = intern("_NET_SUPPORTING_WM_CHECK");
    xcb_get_property_reply_t* check = property(root, check_atom);
    int wm = 0;
    if (check != NULL && check->format == 32 && xcb_get_property_value_length(check) >= 4) {
        xcb_window_t w = ((uint32_t*)xcb_get_property_value(check))[0];
        xcb_get_property_reply_t* own = property(w, check_atom);
        wm = own != NULL && own->format == 32 && xcb_get_property_value_length(own) >= 4 &&
             ((uint32_t*)xcb_get_property_value(own))[0] == w;
        free(own);
    }
    free(check);
    printf("{\"wm\":%s,\"root\":[%d,%d],\"active\":%u,\"focus\":%u,\"stacking\":",
           wm ? "true" : "false", screen->width_in_pixels,
           screen->height_in_pixels,
           active && active->format == 32 && xcb_get_property_value_length(active) >= 4
               ? ((uint32_t*)xcb_get_property_value(active))[0]
               : 0,
           focus ? focus->focus : 0);
    free(active);
    free(focus);
    print_window_list(intern("_NET_CLIENT_LIST_STACKING"));
    printf(",\"toplevels\":[");
    xcb_query_tree_reply_t* tree = xcb_query_tree_reply(c, xcb_query_tree(c, root), NULL);
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
        printf("%s{\"id\":%u,\"viewable\":%s,\"override\":%s,\"x\":%d,\"y\":%d,\"w\":%d,\"h\":%d,"
               "\"clients\":[",
               printed++ ? "," : "", children[i],
               a->map_state == XCB_MAP_STATE_VIEWABLE ? "true" : "false",
               a->override_redirect ? "true" : "false", g->x, g->y,
               g->width + 2 * g->border_width, g->height + 2 * g->border_width);
        print_clients(children[i], 0, 1, wm_state, net_wm_state);
        printf("]}");
        free(a);
        free(g);
    }
    printf("]}\n");
    free(tree);
    return 0;
}
