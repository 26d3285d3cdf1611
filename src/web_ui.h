// The operator's web console: static pages served at /ui/ on every REST listener.
//
// The pages (HTML, CSS and JavaScript, no build step) read and act through the daemon's own REST
// routes; nothing is loaded from elsewhere. The assets are found at start-up, first match wins:
//   1. the configuration key //ui/@assets (a directory);
//   2. <prefix>/share/queltd/web, where <prefix> is the parent of the directory holding the
//      running binary (an installed daemon);
//   3. the web/ folder of the source tree the binary was built from (a build tree).
// Without any, /ui/ answers 404 and the start-up log says so. The listeners' document_root is
// not involved. The pages ask for a client certificate like every route (read-only certificates
// included).
#pragma once

#include <string>

// Finds the assets and registers GET /ui (a redirect to /ui/) and GET /ui/<file>. Ends the
// process with status 2 when //ui/@assets is set but is not a directory. Start-up, once.
void web_ui_init();
// The directory the console is served from ("" when none was found).
const std::string &web_ui_assets_dir();
