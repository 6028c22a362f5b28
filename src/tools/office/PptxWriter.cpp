#include "tools/office/PptxWriter.h"

#include "platform/ZipArchive.h"
#include "tools/office/OfficeServices.h"

namespace tvrn::PptxWriter {
namespace {

#define TVRN_XML_HEAD "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
#define TVRN_NAMESPACES                                                              \
  " xmlns:a=\"http://schemas.openxmlformats.org/drawingml/2006/main\""               \
  " xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\"" \
  " xmlns:p=\"http://schemas.openxmlformats.org/presentationml/2006/main\""
#define TVRN_RELATIONSHIPS_HEAD \
  TVRN_XML_HEAD                 \
  "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
#define TVRN_RELATIONSHIP_TYPE \
  "http://schemas.openxmlformats.org/officeDocument/2006/relationships/"
#define TVRN_CONTENT_TYPE "application/vnd.openxmlformats-officedocument."
#define TVRN_GROUP_SHAPE                                                                   \
  "<p:nvGrpSpPr><p:cNvPr id=\"1\" name=\"\"/><p:cNvGrpSpPr/><p:nvPr/></p:nvGrpSpPr>"       \
  "<p:grpSpPr><a:xfrm><a:off x=\"0\" y=\"0\"/><a:ext cx=\"0\" cy=\"0\"/><a:chOff x=\"0\" " \
  "y=\"0\"/><a:chExt cx=\"0\" cy=\"0\"/></a:xfrm></p:grpSpPr>"
// The placeholders every slide inherits: where the title and the body sit on a 4:3 slide.
#define TVRN_PLACEHOLDERS                                                                    \
  "<p:sp><p:nvSpPr><p:cNvPr id=\"2\" name=\"Title 1\"/><p:cNvSpPr><a:spLocks noGrp=\"1\"/>"  \
  "</p:cNvSpPr><p:nvPr><p:ph type=\"title\"/></p:nvPr></p:nvSpPr><p:spPr><a:xfrm><a:off "    \
  "x=\"457200\" y=\"274638\"/><a:ext cx=\"8229600\" cy=\"1143000\"/></a:xfrm><a:prstGeom "   \
  "prst=\"rect\"><a:avLst/></a:prstGeom></p:spPr><p:txBody><a:bodyPr/><a:lstStyle/><a:p/>"   \
  "</p:txBody></p:sp>"                                                                       \
  "<p:sp><p:nvSpPr><p:cNvPr id=\"3\" name=\"Content Placeholder 2\"/><p:cNvSpPr><a:spLocks " \
  "noGrp=\"1\"/></p:cNvSpPr><p:nvPr><p:ph idx=\"1\"/></p:nvPr></p:nvSpPr><p:spPr><a:xfrm>"   \
  "<a:off x=\"457200\" y=\"1600200\"/><a:ext cx=\"8229600\" cy=\"4525963\"/></a:xfrm>"       \
  "<a:prstGeom prst=\"rect\"><a:avLst/></a:prstGeom></p:spPr><p:txBody><a:bodyPr/>"          \
  "<a:lstStyle/><a:p/></p:txBody></p:sp>"

constexpr const char* kPresentationMember = "ppt/presentation.xml";

constexpr const char* kPackageRelationships =
    TVRN_RELATIONSHIPS_HEAD "<Relationship Id=\"rId1\" Type=\"" TVRN_RELATIONSHIP_TYPE
                            "officeDocument\" Target=\"ppt/presentation.xml\"/></Relationships>";

constexpr const char* kMaster =
    TVRN_XML_HEAD "<p:sldMaster" TVRN_NAMESPACES
                  "><p:cSld><p:bg><p:bgRef idx=\"1001\"><a:schemeClr val=\"bg1\"/></p:bgRef>"
                  "</p:bg><p:spTree>" TVRN_GROUP_SHAPE TVRN_PLACEHOLDERS
                  "</p:spTree></p:cSld><p:clrMap bg1=\"lt1\" tx1=\"dk1\" bg2=\"lt2\" tx2=\"dk2\" "
                  "accent1=\"accent1\" accent2=\"accent2\" accent3=\"accent3\" "
                  "accent4=\"accent4\" accent5=\"accent5\" accent6=\"accent6\" hlink=\"hlink\" "
                  "folHlink=\"folHlink\"/><p:sldLayoutIdLst><p:sldLayoutId id=\"2147483649\" "
                  "r:id=\"rId1\"/></p:sldLayoutIdLst><p:txStyles><p:titleStyle><a:lvl1pPr "
                  "algn=\"ctr\"><a:defRPr sz=\"4400\"><a:solidFill><a:schemeClr val=\"tx1\"/>"
                  "</a:solidFill><a:latin typeface=\"+mj-lt\"/></a:defRPr></a:lvl1pPr>"
                  "</p:titleStyle><p:bodyStyle><a:lvl1pPr marL=\"342900\" indent=\"-342900\">"
                  "<a:buFont typeface=\"Arial\"/><a:buChar char=\"&#8226;\"/><a:defRPr "
                  "sz=\"3200\"><a:solidFill><a:schemeClr val=\"tx1\"/></a:solidFill><a:latin "
                  "typeface=\"+mn-lt\"/></a:defRPr></a:lvl1pPr></p:bodyStyle><p:otherStyle>"
                  "<a:lvl1pPr><a:defRPr sz=\"1800\"><a:solidFill><a:schemeClr val=\"tx1\"/>"
                  "</a:solidFill><a:latin typeface=\"+mn-lt\"/></a:defRPr></a:lvl1pPr>"
                  "</p:otherStyle></p:txStyles></p:sldMaster>";

constexpr const char* kMasterRelationships = TVRN_RELATIONSHIPS_HEAD
    "<Relationship Id=\"rId1\" Type=\"" TVRN_RELATIONSHIP_TYPE
    "slideLayout\" Target=\"../slideLayouts/slideLayout1.xml\"/><Relationship Id=\"rId2\" "
    "Type=\"" TVRN_RELATIONSHIP_TYPE "theme\" Target=\"../theme/theme1.xml\"/></Relationships>";

constexpr const char* kLayout = TVRN_XML_HEAD
    "<p:sldLayout" TVRN_NAMESPACES
    " type=\"obj\" preserve=\"1\"><p:cSld name=\"Title and Content\"><p:spTree>" TVRN_GROUP_SHAPE
        TVRN_PLACEHOLDERS
    "</p:spTree></p:cSld><p:clrMapOvr><a:masterClrMapping/></p:clrMapOvr>"
    "</p:sldLayout>";

constexpr const char* kLayoutRelationships = TVRN_RELATIONSHIPS_HEAD
    "<Relationship Id=\"rId1\" Type=\"" TVRN_RELATIONSHIP_TYPE
    "slideMaster\" Target=\"../slideMasters/slideMaster1.xml\"/></Relationships>";

constexpr const char* kSlideRelationships = TVRN_RELATIONSHIPS_HEAD
    "<Relationship Id=\"rId1\" Type=\"" TVRN_RELATIONSHIP_TYPE
    "slideLayout\" Target=\"../slideLayouts/slideLayout1.xml\"/></Relationships>";

#define TVRN_SOLID_FILL "<a:solidFill><a:schemeClr val=\"phClr\"/></a:solidFill>"
#define TVRN_LINE "<a:ln w=\"9525\">" TVRN_SOLID_FILL "</a:ln>"
#define TVRN_EFFECT "<a:effectStyle><a:effectLst/></a:effectStyle>"
#define TVRN_FONTS "<a:latin typeface=\"Calibri\"/><a:ea typeface=\"\"/><a:cs typeface=\"\"/>"
#define TVRN_COLOUR(name, value) "<a:" name "><a:srgbClr val=\"" value "\"/></a:" name ">"

constexpr const char* kTheme = TVRN_XML_HEAD
    "<a:theme xmlns:a=\"http://schemas.openxmlformats.org/drawingml/2006/main\" name=\"Office "
    "Theme\"><a:themeElements><a:clrScheme name=\"Office\"><a:dk1><a:sysClr val=\"windowText\" "
    "lastClr=\"000000\"/></a:dk1><a:lt1><a:sysClr val=\"window\" "
    "lastClr=\"FFFFFF\"/></a:lt1>" TVRN_COLOUR("dk2", "1F497D") TVRN_COLOUR("lt2", "EEECE1")
        TVRN_COLOUR("accent1", "4F81BD") TVRN_COLOUR("accent2", "C0504D") TVRN_COLOUR(
            "accent3", "9BBB59") TVRN_COLOUR("accent4", "8064A2") TVRN_COLOUR("accent5", "4BACC6")
            TVRN_COLOUR("accent6", "F79646") TVRN_COLOUR("hlink", "0000FF") TVRN_COLOUR(
                "folHlink",
                "800080") "</a:clrScheme><a:fontScheme name=\"Office\"><a:majorFont>" TVRN_FONTS
                          "</a:majorFont><a:minorFont>" TVRN_FONTS
                          "</a:minorFont></a:fontScheme><a:fmtScheme "
                          "name=\"Office\"><a:fillStyleLst>" TVRN_SOLID_FILL TVRN_SOLID_FILL
                              TVRN_SOLID_FILL
                          "</a:fillStyleLst><a:lnStyleLst>" TVRN_LINE TVRN_LINE TVRN_LINE
                          "</a:lnStyleLst><a:effectStyleLst>" TVRN_EFFECT TVRN_EFFECT TVRN_EFFECT
                          "</a:effectStyleLst><a:bgFillStyleLst>" TVRN_SOLID_FILL TVRN_SOLID_FILL
                              TVRN_SOLID_FILL
                          "</a:bgFillStyleLst></a:fmtScheme></a:themeElements><a:objectDefaults/>"
                          "<a:extraClrSchemeLst/></a:theme>";

constexpr const char* kSlideHead =
    TVRN_XML_HEAD "<p:sld" TVRN_NAMESPACES "><p:cSld><p:spTree>" TVRN_GROUP_SHAPE;
constexpr const char* kSlideTail =
    "</p:spTree></p:cSld><p:clrMapOvr><a:masterClrMapping/></p:clrMapOvr></p:sld>";

std::string slideName(std::size_t index) { return "slide" + std::to_string(index + 1) + ".xml"; }

std::string paragraph(const std::string& text) {
  return "<a:p><a:r><a:rPr lang=\"en-US\" dirty=\"0\"/><a:t>" + OfficeServices::escapedXml(text) +
         "</a:t></a:r></a:p>";
}

std::string placeholder(int id, const char* name, const char* kind, const std::string& body) {
  return "<p:sp><p:nvSpPr><p:cNvPr id=\"" + std::to_string(id) + "\" name=\"" + name +
         "\"/><p:cNvSpPr><a:spLocks noGrp=\"1\"/></p:cNvSpPr><p:nvPr><p:ph " + kind +
         "/></p:nvPr></p:nvSpPr><p:spPr/><p:txBody><a:bodyPr/><a:lstStyle/>" + body +
         "</p:txBody></p:sp>";
}

std::string slideXml(const Slide& slide) {
  std::string bullets;
  for (const auto& bullet : slide.bullets) bullets += paragraph(bullet);
  if (bullets.empty()) bullets = "<a:p/>";
  return kSlideHead + placeholder(2, "Title 1", "type=\"title\"", paragraph(slide.title)) +
         placeholder(3, "Content Placeholder 2", "idx=\"1\"", bullets) + kSlideTail;
}

std::string contentTypes(std::size_t slides) {
  std::string xml = TVRN_XML_HEAD
      "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
      "<Default Extension=\"rels\" "
      "ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
      "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
      "<Override PartName=\"/ppt/presentation.xml\" ContentType=\"" TVRN_CONTENT_TYPE
      "presentationml.presentation.main+xml\"/>"
      "<Override PartName=\"/ppt/slideMasters/slideMaster1.xml\" ContentType=\"" TVRN_CONTENT_TYPE
      "presentationml.slideMaster+xml\"/>"
      "<Override PartName=\"/ppt/slideLayouts/slideLayout1.xml\" ContentType=\"" TVRN_CONTENT_TYPE
      "presentationml.slideLayout+xml\"/>"
      "<Override PartName=\"/ppt/theme/theme1.xml\" ContentType=\"" TVRN_CONTENT_TYPE
      "theme+xml\"/>";
  for (std::size_t i = 0; i < slides; ++i) {
    xml += "<Override PartName=\"/ppt/slides/" + slideName(i) +
           "\" ContentType=\"" TVRN_CONTENT_TYPE "presentationml.slide+xml\"/>";
  }
  return xml + "</Types>";
}

// Slides take the relationship ids after the master's and the theme's.
std::string slideRelationshipId(std::size_t index) { return "rId" + std::to_string(index + 3); }

std::string presentation(std::size_t slides) {
  std::string xml = TVRN_XML_HEAD "<p:presentation" TVRN_NAMESPACES
                                  " saveSubsetFonts=\"1\"><p:sldMasterIdLst><p:sldMasterId "
                                  "id=\"2147483648\" r:id=\"rId1\"/></p:sldMasterIdLst>";
  // An empty slide list is not allowed, so a deck without slides has none.
  if (slides > 0) {
    xml += "<p:sldIdLst>";
    for (std::size_t i = 0; i < slides; ++i) {
      xml += "<p:sldId id=\"" + std::to_string(256 + i) + "\" r:id=\"" + slideRelationshipId(i) +
             "\"/>";
    }
    xml += "</p:sldIdLst>";
  }
  return xml +
         "<p:sldSz cx=\"9144000\" cy=\"6858000\" type=\"screen4x3\"/>"
         "<p:notesSz cx=\"6858000\" cy=\"9144000\"/></p:presentation>";
}

std::string presentationRelationships(std::size_t slides) {
  std::string xml = TVRN_RELATIONSHIPS_HEAD
      "<Relationship Id=\"rId1\" Type=\"" TVRN_RELATIONSHIP_TYPE
      "slideMaster\" Target=\"slideMasters/slideMaster1.xml\"/><Relationship Id=\"rId2\" "
      "Type=\"" TVRN_RELATIONSHIP_TYPE "theme\" Target=\"theme/theme1.xml\"/>";
  for (std::size_t i = 0; i < slides; ++i) {
    xml += "<Relationship Id=\"" + slideRelationshipId(i) +
           "\" Type=\"" TVRN_RELATIONSHIP_TYPE "slide\" Target=\"slides/" + slideName(i) + "\"/>";
  }
  return xml + "</Relationships>";
}

}  // namespace

Result<std::string, std::string> package(const std::vector<Slide>& slides) {
  std::vector<ZipArchive::Member> members = {
      {"[Content_Types].xml", contentTypes(slides.size())},
      {"_rels/.rels", kPackageRelationships},
      {kPresentationMember, presentation(slides.size())},
      {"ppt/_rels/presentation.xml.rels", presentationRelationships(slides.size())},
      {"ppt/slideMasters/slideMaster1.xml", kMaster},
      {"ppt/slideMasters/_rels/slideMaster1.xml.rels", kMasterRelationships},
      {"ppt/slideLayouts/slideLayout1.xml", kLayout},
      {"ppt/slideLayouts/_rels/slideLayout1.xml.rels", kLayoutRelationships},
      {"ppt/theme/theme1.xml", kTheme}};
  for (std::size_t i = 0; i < slides.size(); ++i) {
    members.push_back({"ppt/slides/" + slideName(i), slideXml(slides[i])});
    members.push_back({"ppt/slides/_rels/" + slideName(i) + ".rels", kSlideRelationships});
  }
  return ZipArchive::archiveBytes(members);
}

}  // namespace tvrn::PptxWriter
