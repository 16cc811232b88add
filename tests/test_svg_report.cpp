// The demo's SVG report writer: its documents parse as XML, whatever the text and the data.
#include <cmath>
#include <limits>
#include <sstream>
#include <string>

#include <gtest/gtest.h>
#include <libxml/parser.h>

#include "report/svg_report.hpp"

using orvo_report::Chart;
using orvo_report::Series;

namespace {

// libxml2, not our own writer, judges well-formedness; the count of <polyline> elements and the
// root name come from its tree.
struct Parsed {
  bool wellFormed = false;
  std::string rootName;
  int polylines = 0, circles = 0;
};

void countElements(xmlNode* node, Parsed& parsed) {
  for (; node != nullptr; node = node->next) {
    if (node->type == XML_ELEMENT_NODE) {
      const std::string name = reinterpret_cast<const char*>(node->name);
      parsed.polylines += name == "polyline";
      parsed.circles += name == "circle";
    }
    countElements(node->children, parsed);
  }
}

Parsed parse(const std::string& document) {
  Parsed parsed;
  xmlDoc* doc = xmlReadMemory(document.data(), static_cast<int>(document.size()), "report.svg",
                              nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  if (doc == nullptr) return parsed;
  parsed.wellFormed = true;
  xmlNode* root = xmlDocGetRootElement(doc);
  parsed.rootName = reinterpret_cast<const char*>(root->name);
  countElements(root, parsed);
  xmlFreeDoc(doc);
  return parsed;
}

std::string render(const std::vector<Chart>& charts, const std::string& title = "report") {
  std::ostringstream out;
  orvo_report::writeSvgReport(out, title, charts);
  return out.str();
}

}  // namespace

TEST(SvgReport, HostileTextAndEmptyInputStayWellFormed) {
  const std::string nasty = "a < b && c > \"d\" 'e' \x01 ]]> <!--";
  Chart chart{nasty, nasty, nasty, false, {{nasty, {{0, 1}, {1, 2}}, false}}};
  const Parsed parsed = parse(render({chart}, nasty));
  EXPECT_TRUE(parsed.wellFormed);
  EXPECT_EQ(parsed.rootName, "svg");
  EXPECT_EQ(parsed.polylines, 1);

  // No chart at all, a chart without series, a series without points.
  EXPECT_TRUE(parse(render({})).wellFormed);
  EXPECT_TRUE(parse(render({Chart{"empty", "x", "y", true, {}}})).wellFormed);
  EXPECT_TRUE(parse(render({Chart{"no points", "x", "y", false, {{"s", {}, false}}}})).wellFormed);
  EXPECT_EQ(orvo_report::escapeXml("<&>\"'"), "&lt;&amp;&gt;&quot;&apos;");
}

TEST(SvgReport, UndrawablePointsBreakTheLineAndNeverReachTheDocument) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  // Two runs of drawable points separated by NaN; on the log axis 0 and negative values drop out.
  Series s{
      "residual", {{0, 1.0}, {1, 0.1}, {2, nan}, {3, 1e-3}, {4, inf}, {5, 0.0}, {6, -1.0}}, false};
  Chart chart{"convergence", "iteration", "norm", true, {s}};
  const std::string document = render({chart});
  const Parsed parsed = parse(document);
  ASSERT_TRUE(parsed.wellFormed);
  EXPECT_EQ(parsed.polylines, 2);
  EXPECT_EQ(document.find("nan"), std::string::npos);
  EXPECT_EQ(document.find("inf"), std::string::npos);

  // A constant series (zero range on both axes) and markers.
  Chart flat{"flat", "x", "y", false, {{"c", {{2, 5}, {2, 5}}, true}}};
  const std::string flatDocument = render({flat});
  const Parsed flatParsed = parse(flatDocument);
  EXPECT_TRUE(flatParsed.wellFormed);
  EXPECT_EQ(flatParsed.circles, 2);
  EXPECT_EQ(flatDocument.find("nan"), std::string::npos);
}
