// What the end-to-end tests of the outlets cannot reach: label precedence and naming for
// unusual tags, the bounds of rendered text, and the router outlet's move between two raised
// severities.
#include <gtest/gtest.h>
#include <json-c/json.h>

#include "outlets/outlets.h"
#include "outlets/outlets_internal.h"

namespace {

outlet_source_t source() {
  outlet_source_t s;
  s.ecid = 42;
  s.account_id = 7;
  s.severity = 2;
  s.ms = 1700000000123;
  s.check = "11111111-2222-3333-4444-555555555555";
  s.host = "web01";
  s.metric = "cpu";
  s.signature = "sig";
  s.value = "95";
  return s;
}

std::string find(const outlet_labels_t &labels, const std::string &name) {
  for (const auto &[k, v] : labels)
    if (k == name) return v;
  return "<absent>";
}

}  // namespace

TEST(outlets, labels_keep_the_fixed_ones_then_tags_then_the_rulesets_own) {
  outlet_source_t s = source();
  // A tag named like a fixed label, a category the router would refuse, a base64 value with a
  // comma and a colon in it, and an empty value.
  // A value that is not UTF-8 (0xff 0xfe 'A') would make the router refuse the whole request.
  s.st_tags = "host:evil,my.zone-1:eu,b\"ZW52\":b\"cHJvZCwgYTpi\",9lives:x,empty:,raw:b\"//5B\"";
  auto text = std::make_shared<outlet_text_t>();
  text->labels = {{"team", "ops"}, {"severity", "page"}, {"my.zone-1", "us"}};
  s.text = text;
  outlet_alert_t a;
  outlet_build_labels(s, &a);

  std::vector<std::string> names;
  for (const auto &[k, _] : a.labels)
    names.push_back(k);
  EXPECT_EQ(names,
            (std::vector<std::string>{"alertname", "severity", "account", "check", "host", "metric",
                                      "my_zone_1", "env", "_9lives", "raw", "team"}));
  EXPECT_EQ(find(a.labels, "alertname"), "ruleset_42");
  EXPECT_EQ(find(a.labels, "severity"), "2");    // a ruleset label never replaces a fixed one
  EXPECT_EQ(find(a.labels, "host"), "web01");    // nor does a tag
  EXPECT_EQ(find(a.labels, "my_zone_1"), "us");  // but the ruleset's label replaces a tag
  EXPECT_EQ(find(a.labels, "env"), "prod, a:b");
  EXPECT_EQ(find(a.labels, "raw"), "??A");
  EXPECT_EQ(find(a.labels, "broker"), "<absent>");  // no broker: no label
  EXPECT_TRUE(a.annotations.empty());

  text->title = "Disk full";
  outlet_build_labels(s, &a);
  EXPECT_EQ(find(a.labels, "alertname"), "Disk full");
}

TEST(outlets, placeholders_substitute_only_their_own_forms) {
  outlet_labels_t tags = {{"env", "prod"}, {"dc", "fra"}};
  outlet_render_ctx_t ctx;
  ctx.value = "95.5";
  ctx.metric = "cpu";
  ctx.tags = &tags;
  const std::pair<const char *, const char *> cases[] = {
      {"{{value}} on {{metric}}", "95.5 on cpu"},
      {"{{tag:env}}/{{tag:dc}}/{{tag:none}}", "prod/fra/"},
      {"{{ value }} {{.Labels}} {{", "{{ value }} {{.Labels}} {{"},
      {"{{value", "{{value"},
      {"{{{{value}}}}", "{{{{value}}}}"},  // no nesting: the first "}}" ends the name
      {"{{tag:env}}}}", "prod}}"},
      {"", ""},
  };
  for (const auto &[templ, want] : cases)
    EXPECT_EQ(outlet_render(templ, ctx), want) << templ;
}

TEST(outlets, rendered_text_is_bounded_without_splitting_a_character) {
  outlet_render_ctx_t ctx;
  ctx.value = std::string(3000, 'x');
  EXPECT_EQ(outlet_render("{{value}}", ctx).size(), outlet_render_max);
  // Many placeholders cannot multiply a value beyond the bound either.
  std::string many;
  for (int i = 0; i < 1000; i++)
    many += "{{value}}";
  EXPECT_LE(outlet_render(many, ctx).size(), outlet_render_max);
  // A two-byte character across the cut is dropped whole.
  ctx.value = std::string(outlet_render_max - 4, 'a') +
              "\xc3\xa9\xc3\xa9"
              "b";
  std::string out = outlet_render("{{value}}", ctx);
  EXPECT_EQ(out, std::string(outlet_render_max - 4, 'a') + "...");
}

TEST(outlets, router_resolves_the_old_severity_before_firing_the_new_one) {
  outlet_settings_t settings;
  settings.name = "r";
  settings.urls = {"http://127.0.0.1:9/api/v2/alerts"};
  std::unique_ptr<outlet_c> router = alertmanager_outlet_new(settings);

  auto announce = [&](int32_t sev, uint64_t ms) {
    outlet_source_t s = source();
    s.severity = sev;
    s.ms = ms;
    auto a = std::make_shared<outlet_alert_t>();
    a->ecid = s.ecid;
    a->stream = s.signature;
    a->resolved = sev == 2147483647;
    a->severity = sev;
    a->ms = ms;
    outlet_build_labels(s, a.get());
    return router->admit(a);
  };
  auto body = [&](const std::vector<outlet_alert_sp> &batch) {
    json_object *o = json_tokener_parse(router->encode(batch, 0).c_str());
    std::vector<std::string> out;
    for (size_t i = 0; i < json_object_array_length(o); i++) {
      json_object *a = json_object_array_get_idx(o, i), *labels, *v;
      json_object_object_get_ex(a, "labels", &labels);
      json_object_object_get_ex(labels, "severity", &v);
      std::string line = std::string("sev=") + json_object_get_string(v);
      if (json_object_object_get_ex(a, "startsAt", &v))
        line += " from " + std::string(json_object_get_string(v));
      if (json_object_object_get_ex(a, "endsAt", &v))
        line += " to " + std::string(json_object_get_string(v));
      out.push_back(line);
    }
    json_object_put(o);
    return out;
  };

  // A clear of a stream that never fired here sends nothing.
  EXPECT_TRUE(announce(2147483647, 1700000000000).empty());
  auto first = announce(2, 1700000001000);
  EXPECT_EQ(body(first), std::vector<std::string>{"sev=2 from 2023-11-14T22:13:21.000Z"});
  // The same state announced again (a renotify) keeps the time it began.
  EXPECT_EQ(body(announce(2, 1700000002000)),
            std::vector<std::string>{"sev=2 from 2023-11-14T22:13:21.000Z"});
  EXPECT_EQ(
      body(announce(3, 1700000003000)),
      (std::vector<std::string>{"sev=2 from 2023-11-14T22:13:21.000Z to 2023-11-14T22:13:23.000Z",
                                "sev=3 from 2023-11-14T22:13:23.000Z"}));
  EXPECT_EQ(
      body(announce(2147483647, 1700000004000)),
      std::vector<std::string>{"sev=3 from 2023-11-14T22:13:23.000Z to 2023-11-14T22:13:24.000Z"});
  EXPECT_TRUE(router->resend_set().empty());
}
