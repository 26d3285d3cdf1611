// The daemon's own REST handlers: the configuration view and the static files of the document
// root.
#pragma once

#include "tovi/tovi_http.h"

// GET /config[/<section>]: the section as an XML document ("text/xml"), 200 "OK"; 404
// "NOT FOUND" without a body when the configuration has no such section. Without a section the
// whole application section is shown. Runs on the connection's loop thread; takes the
// configuration's read hold while it reads.
int quelt_rest_show_config(tovi_http_rest_closure_t *restc, int npats, char **pats);

// Registers, with client-certificate authentication and in this order, GET "/" "^config(/.*)?$"
// (quelt_rest_show_config) and GET "/" "^(.*)$" (the framework's file handler, which answers every
// other GET path from the listener's document root). A failed registration is a fatal assertion.
// Call once at start-up, after the modules registered their own routes.
void quelt_rest_register_handlers(const char *app_name);
