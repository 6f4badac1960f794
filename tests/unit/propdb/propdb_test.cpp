// The property database hooks over real DBM files: the bytes they leave on disk, the XML they
// give back, rollback, listing, and refusal of files of another version or damaged ones.
#include "propdb/propdb.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/host.h"
#include "dbm/dbm.h"
#include "propdb/propdb_internal.h"
#include "tests/support/module_test.h"

namespace {

using namespace std::string_literals;
using kiv_test::path_exists;
using kiv_test::read_dbm;
using kiv_test::read_file;

const dav_hooks_propdb& hooks = dav_kiv_hooks_propdb;

class PropdbTest : public kiv_test::AprTest {
 protected:
  // A document a.xml in the scratch directory (its properties live in .DAV/a.xml).
  dav_resource* document() { return kiv_test::make_resource(pool_, dir_ / "a.xml", false); }
  std::string document_db() const { return dir_ / ".DAV/a.xml"; }

  dav_db* open(bool ro, dav_resource* resource = nullptr) {
    dav_db* db = nullptr;
    dav_error* err = hooks.open(pool_, resource ? resource : document(), ro ? 1 : 0, &db);
    EXPECT_EQ(err, nullptr) << (err ? err->desc : "");
    return db;
  }

  // The properties of a PROPPATCH body: its namespaces and the children of its D:prop.
  struct Request {
    apr_xml_doc* doc = nullptr;
    std::vector<apr_xml_elem*> props;
  };
  Request request(const std::string& props, const std::string& declarations = "") {
    Request r;
    r.doc = kiv_test::parse_xml(pool_, "<D:propertyupdate xmlns:D=\"DAV:\"" + declarations +
                                           "><D:set><D:prop>" + props +
                                           "</D:prop></D:set></D:propertyupdate>");
    EXPECT_NE(r.doc, nullptr);
    if (r.doc == nullptr) return r;
    for (apr_xml_elem* e = r.doc->root->first_child->first_child->first_child; e; e = e->next) {
      r.props.push_back(e);
    }
    return r;
  }

  dav_prop_name name_of(const Request& r, const apr_xml_elem* elem) {
    dav_prop_name name;
    name.ns = elem->ns == APR_XML_NS_NONE ? "" : APR_XML_GET_URI_ITEM(r.doc->namespaces, elem->ns);
    name.name = elem->name;
    return name;
  }

  // Maps the request's namespaces and stores every property, as a PROPPATCH does.
  void store_all(dav_db* db, const Request& r) {
    dav_namespace_map* map = nullptr;
    ASSERT_EQ(hooks.map_namespaces(db, r.doc->namespaces, &map), nullptr);
    for (apr_xml_elem* elem : r.props) {
      const dav_prop_name name = name_of(r, elem);
      ASSERT_EQ(hooks.store(db, &name, elem, map), nullptr);
    }
  }

  void store_in_new_db(const std::string& props, const std::string& declarations = "") {
    dav_db* db = open(false);
    ASSERT_NE(db, nullptr);
    store_all(db, request(props, declarations));
    hooks.close(db);
  }

  // The XML line of one property, or "" when it is not stored.
  std::string output(dav_db* db, const char* ns, const char* name) {
    dav_prop_name prop{ns, name};
    apr_text_header text{};
    int found = -1;
    dav_error* err = hooks.output_value(db, &prop, nullptr, &text, &found);
    if (err != nullptr) return "error: "s + err->desc;
    std::string out;
    for (apr_text* t = text.first; t != nullptr; t = t->next) out += t->text;
    return found ? out : "";
  }

  std::vector<std::pair<std::string, std::string>> listing(dav_db* db) {
    std::vector<std::pair<std::string, std::string>> names;
    dav_prop_name name{};
    EXPECT_EQ(hooks.first_name(db, &name), nullptr);
    while (name.name != nullptr && names.size() < 10000) {
      names.emplace_back(name.ns, name.name);
      EXPECT_EQ(hooks.next_name(db, &name), nullptr);
    }
    return names;
  }

  // The URIs prefix + from .. prefix + (to - 1), as a request's namespace array.
  apr_array_header_t* uris(const char* prefix, int from, int to) {
    apr_array_header_t* array = apr_array_make(pool_, to - from, sizeof(const char*));
    for (int i = from; i < to; ++i) {
      *static_cast<const char**>(apr_array_push(array)) = apr_psprintf(pool_, "%s%d", prefix, i);
    }
    return array;
  }

  kiv_test::ScratchDir dir_;
};

TEST_F(PropdbTest, OnePropertyWritesTheNamespaceTableAndItsRecord) {
  store_in_new_db("<author xmlns=\"urn:x\">Jo</author>");

  const auto records = read_dbm(document_db());
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records.at("METADATA"), "\x04\x00\x00\x02"s + "DAV:\0urn:x\0"s);
  EXPECT_EQ(records.at("1:author\0"s), "\0Jo\0"s);

  // The same bytes as the Berkeley DB tools see them, when they are installed.
  const std::string dump = kiv_test::run("db5.3_dump '" + document_db() + "' 2>/dev/null");
  if (!dump.empty()) {
    EXPECT_NE(dump.find(" 4d45544144415441\n 040000024441563a0075726e3a7800\n"), std::string::npos)
        << dump;
    EXPECT_NE(dump.find(" 313a617574686f7200\n 004a6f00\n"), std::string::npos) << dump;
  }

  dav_db* db = open(true);
  ASSERT_NE(db, nullptr);
  dav_xmlns_info* xi = dav_xmlns_create(pool_);
  ASSERT_EQ(hooks.define_namespaces(db, xi), nullptr);
  EXPECT_STREQ(static_cast<const char*>(apr_hash_get(xi->prefix_uri, "ns0", 3)), "DAV:");
  EXPECT_STREQ(static_cast<const char*>(apr_hash_get(xi->prefix_uri, "ns1", 3)), "urn:x");
  EXPECT_EQ(apr_hash_count(xi->prefix_uri), 2u);
  EXPECT_EQ(output(db, "urn:x", "author"), "<ns1:author>Jo</ns1:author>\n");
  hooks.close(db);
}

TEST_F(PropdbTest, ValuesKeepLanguageEscapesAndChildNamespaces) {
  store_in_new_db(
      "<color>red</color>"
      "<x:t xml:lang=\"en\">a&amp;b</x:t>"
      "<x:author><x:given>Jo</x:given><y:family xmlns:y=\"urn:y\">K</y:family><plain/></x:author>"
      "<x:empty/>"
      "<x:gone xml:lang=\"de\"></x:gone>",
      " xmlns:x=\"urn:x\"");

  const auto records = read_dbm(document_db());
  EXPECT_EQ(records.at(":color\0"s), "\0red\0"s);
  EXPECT_EQ(records.at("1:t\0"s), "en\0a&amp;b\0"s);
  EXPECT_EQ(records.at("1:author\0"s),
            "\0<ns1:given>Jo</ns1:given><ns2:family>K</ns2:family><plain/>\0"s);
  EXPECT_EQ(records.at("1:empty\0"s), "\0\0"s);
  EXPECT_EQ(records.at("1:gone\0"s), "de\0\0"s);

  dav_db* db = open(true);
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(output(db, "", "color"), "<color>red</color>\n");
  EXPECT_EQ(output(db, "urn:x", "t"), "<ns1:t xml:lang=\"en\">a&amp;b</ns1:t>\n");
  EXPECT_EQ(output(db, "urn:x", "author"),
            "<ns1:author><ns1:given>Jo</ns1:given><ns2:family>K</ns2:family><plain/>"
            "</ns1:author>\n");
  EXPECT_EQ(output(db, "urn:x", "empty"), "<ns1:empty/>\n");
  EXPECT_EQ(output(db, "urn:x", "gone"), "<ns1:gone/>\n");
  EXPECT_EQ(output(db, "urn:x", "missing"), "");
  EXPECT_EQ(output(db, "urn:unknown", "t"), "");
  EXPECT_EQ(output(db, "", "missing"), "");
  hooks.close(db);
}

TEST_F(PropdbTest, LaterRequestsUseTablePositionsNotDocumentPositions) {
  store_in_new_db("<x:a>1</x:a>", " xmlns:x=\"urn:x\"");
  // The second request lists urn:y before urn:x: positions stay those of the table.
  dav_db* db = open(false);
  ASSERT_NE(db, nullptr);
  const Request r = request("<y:first>1</y:first><x:b><y:c>2</y:c></x:b>",
                            " xmlns:x=\"urn:x\" xmlns:y=\"urn:y\"");
  dav_namespace_map* map = nullptr;
  ASSERT_EQ(hooks.map_namespaces(db, r.doc->namespaces, &map), nullptr);
  ASSERT_EQ(map->count, 3);
  EXPECT_EQ(map->indexes[0], 0);  // DAV:
  EXPECT_EQ(map->indexes[1], 2);  // urn:y, new
  EXPECT_EQ(map->indexes[2], 1);  // urn:x, known
  for (apr_xml_elem* elem : r.props) {
    const dav_prop_name name = name_of(r, elem);
    ASSERT_EQ(hooks.store(db, &name, elem, map), nullptr);
  }
  hooks.close(db);

  const auto records = read_dbm(document_db());
  EXPECT_EQ(records.at("METADATA"), "\x04\x00\x00\x03"s + "DAV:\0urn:x\0urn:y\0"s);
  EXPECT_EQ(records.at("2:first\0"s),
            "\0"
            "1\0"s);
  EXPECT_EQ(records.at("1:b\0"s), "\0<ns2:c>2</ns2:c>\0"s);

  // Mapping known namespaces again changes nothing on disk.
  const std::string before = read_file(document_db());
  db = open(false);
  ASSERT_NE(db, nullptr);
  ASSERT_EQ(hooks.map_namespaces(db, r.doc->namespaces, &map), nullptr);
  EXPECT_EQ(db->namespace_count, 3);
  hooks.close(db);
  EXPECT_EQ(read_file(document_db()), before);
}

TEST_F(PropdbTest, ListingSkipsMetadataAndReadsIndexesPastOneDigit) {
  // Thirteen namespaces, so that a property sits at index 12.
  dav_db* db = open(false);
  ASSERT_NE(db, nullptr);
  dav_namespace_map* map = nullptr;
  ASSERT_EQ(hooks.map_namespaces(db, uris("urn:", 0, 13), &map), nullptr);
  const Request r = request("<x>none</x>");
  const dav_prop_name twelve{"urn:12", "x"};
  ASSERT_EQ(hooks.store(db, &twelve, r.props[0], map), nullptr);
  const dav_prop_name bare{"", "x"};
  ASSERT_EQ(hooks.store(db, &bare, r.props[0], map), nullptr);
  hooks.close(db);

  const auto records = read_dbm(document_db());
  EXPECT_EQ(records.count("12:x\0"s), 1u);
  EXPECT_EQ(records.count(":x\0"s), 1u);

  db = open(true);
  ASSERT_NE(db, nullptr);
  auto names = listing(db);
  std::sort(names.begin(), names.end());
  ASSERT_EQ(names.size(), 2u);
  EXPECT_EQ(names[0], std::make_pair(""s, "x"s));
  EXPECT_EQ(names[1], std::make_pair("urn:12"s, "x"s));
  hooks.close(db);
}

TEST_F(PropdbTest, NamespaceCountIsBigEndianOnDisk) {
  dav_db* db = open(false);
  ASSERT_NE(db, nullptr);
  dav_namespace_map* map = nullptr;
  ASSERT_EQ(hooks.map_namespaces(db, uris("u", 0, 300), &map), nullptr);
  const Request r = request("<x>z</x>");
  const dav_prop_name last{"u299", "last"};
  ASSERT_EQ(hooks.store(db, &last, r.props[0], map), nullptr);
  hooks.close(db);

  const std::string metadata = read_dbm(document_db()).at("METADATA");
  EXPECT_EQ(metadata.substr(0, 4), "\x04\x00\x01\x2C"s);
  db = open(true);
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(output(db, "u299", "last"), "<ns299:last>z</ns299:last>\n");
  hooks.close(db);
}

TEST_F(PropdbTest, EmptyNamespaceTakesAPositionButNoPrefix) {
  dav_db* db = open(false);
  ASSERT_NE(db, nullptr);
  apr_array_header_t* namespaces = apr_array_make(pool_, 3, sizeof(const char*));
  for (const char* uri : {"DAV:", "", "urn:x", ""}) {
    *static_cast<const char**>(apr_array_push(namespaces)) = uri;
  }
  dav_namespace_map* map = nullptr;
  ASSERT_EQ(hooks.map_namespaces(db, namespaces, &map), nullptr);
  EXPECT_EQ(map->indexes[1], 1);
  EXPECT_EQ(map->indexes[3], 1);  // the same URI twice gets one position
  dav_xmlns_info* xi = dav_xmlns_create(pool_);
  ASSERT_EQ(hooks.define_namespaces(db, xi), nullptr);
  EXPECT_EQ(apr_hash_count(xi->prefix_uri), 2u);
  EXPECT_STREQ(static_cast<const char*>(apr_hash_get(xi->prefix_uri, "ns2", 3)), "urn:x");
  hooks.close(db);
  EXPECT_EQ(read_dbm(document_db()).at("METADATA"), "\x04\x00\x00\x03"s + "DAV:\0\0urn:x\0"s);
}

TEST_F(PropdbTest, RollbackRestoresOldValuesAndRemovesNewProperties) {
  store_in_new_db("<x:kept>old</x:kept>", " xmlns:x=\"urn:x\"");

  dav_db* db = open(false);
  ASSERT_NE(db, nullptr);
  const Request r = request("<x:kept>new</x:kept><x:added>fresh</x:added>", " xmlns:x=\"urn:x\"");
  dav_namespace_map* map = nullptr;
  ASSERT_EQ(hooks.map_namespaces(db, r.doc->namespaces, &map), nullptr);
  std::vector<dav_deadprop_rollback*> rollbacks;
  for (apr_xml_elem* elem : r.props) {
    const dav_prop_name name = name_of(r, elem);
    dav_deadprop_rollback* rollback = nullptr;
    ASSERT_EQ(hooks.get_rollback(db, &name, &rollback), nullptr);
    rollbacks.push_back(rollback);
    ASSERT_EQ(hooks.store(db, &name, elem, map), nullptr);
  }
  EXPECT_EQ(output(db, "urn:x", "kept"), "<ns1:kept>new</ns1:kept>\n");
  for (dav_deadprop_rollback* rollback : rollbacks) {
    EXPECT_EQ(hooks.apply_rollback(db, rollback), nullptr);
  }
  // A property that did not exist is deleted; doing it again still succeeds.
  EXPECT_EQ(hooks.apply_rollback(db, rollbacks[1]), nullptr);
  hooks.close(db);

  const auto records = read_dbm(document_db());
  EXPECT_EQ(records.at("1:kept\0"s), "\0old\0"s);
  EXPECT_EQ(records.count("1:added\0"s), 0u);
}

TEST_F(PropdbTest, RemoveAndExists) {
  store_in_new_db("<x:a>1</x:a><x:b>2</x:b>", " xmlns:x=\"urn:x\"");
  dav_db* db = open(false);
  ASSERT_NE(db, nullptr);
  dav_prop_name a{"urn:x", "a"};
  dav_prop_name unknown_ns{"urn:nowhere", "a"};
  EXPECT_TRUE(hooks.exists(db, &a));
  EXPECT_FALSE(hooks.exists(db, &unknown_ns));
  EXPECT_EQ(hooks.remove(db, &a), nullptr);
  EXPECT_FALSE(hooks.exists(db, &a));
  EXPECT_EQ(hooks.remove(db, &unknown_ns), nullptr);
  hooks.close(db);
  EXPECT_EQ(read_dbm(document_db()).size(), 2u);  // METADATA and 1:b
}

TEST_F(PropdbTest, ReadOnlyOpenWithoutDatabaseCreatesNothing) {
  for (bool collection : {false, true}) {
    dav_resource* resource =
        kiv_test::make_resource(pool_, collection ? dir_.path() : dir_ / "a.xml", collection);
    dav_db* db = reinterpret_cast<dav_db*>(1);
    EXPECT_EQ(hooks.open(pool_, resource, 1, &db), nullptr);
    EXPECT_EQ(db, nullptr);
  }
  EXPECT_FALSE(path_exists(dir_ / ".DAV"));
}

TEST_F(PropdbTest, DatabaseWithoutNamespacesHasNoMetadataAndReopens) {
  dav_db* db = open(false);
  ASSERT_NE(db, nullptr);
  const Request r = request("<plain>v</plain>");
  const dav_prop_name name = name_of(r, r.props[0]);
  // The request still names DAV:, so map only an empty list to keep the table empty.
  apr_array_header_t* none = apr_array_make(pool_, 0, sizeof(const char*));
  dav_namespace_map* map = nullptr;
  ASSERT_EQ(hooks.map_namespaces(db, none, &map), nullptr);
  ASSERT_EQ(hooks.store(db, &name, r.props[0], map), nullptr);
  hooks.close(db);
  EXPECT_EQ(read_dbm(document_db()).count("METADATA"), 0u);

  db = open(true);
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(output(db, "", "plain"), "<plain>v</plain>\n");
  hooks.close(db);
}

TEST_F(PropdbTest, CollectionsKeepTheirOwnPropertiesInStateForDir) {
  dav_resource* collection = kiv_test::make_resource(pool_, dir_.path(), true);
  dav_db* db = open(false, collection);
  ASSERT_NE(db, nullptr);
  store_all(db, request("<x:c>dir</x:c>", " xmlns:x=\"urn:x\""));
  hooks.close(db);
  EXPECT_EQ(read_dbm(dir_ / ".DAV/.state_for_dir").at("1:c\0"s), "\0dir\0"s);
}

class RefusedDatabaseTest : public PropdbTest {
 protected:
  // Opens a hand-made database and expects a refusal with error id 200, leaving it untouched.
  void expect_refused(const std::map<std::string, std::string>& records,
                      const std::string& message_start) {
    ASSERT_EQ(::mkdir((dir_ / ".DAV").c_str(), 0777), 0);
    kiv_test::write_dbm(document_db(), records);
    const std::string before = read_file(document_db());
    for (int ro : {0, 1}) {
      dav_db* db = reinterpret_cast<dav_db*>(1);
      dav_error* err = hooks.open(pool_, document(), ro, &db);
      ASSERT_NE(err, nullptr);
      EXPECT_EQ(db, nullptr);
      EXPECT_EQ(err->status, 500);
      EXPECT_EQ(err->error_id, 200);
      EXPECT_EQ(std::string(err->desc).rfind(message_start, 0), 0u) << err->desc;
    }
    EXPECT_EQ(read_file(document_db()), before);
    // The refusal closed the file and gave up its lock.
    kiv::DbmFile* db = nullptr;
    EXPECT_EQ(dav_kiv_dbm_open_path(pool_, document_db().c_str(), 0, &db), nullptr);
    ASSERT_NE(db, nullptr);
    dav_kiv_dbm_close(db);
  }
};

constexpr char kWrongVersion[] =
    "Prop database has the wrong major version number and cannot be used.";

TEST_F(RefusedDatabaseTest, MajorVersionThree) {
  expect_refused({{"METADATA", "\x03\x00\x00\x00"s}, {"1:a\0"s, "\0v\0"s}}, kWrongVersion);
}

TEST_F(RefusedDatabaseTest, MajorVersionFive) {
  expect_refused({{"METADATA", "\x05\x00\x00\x01"s + "DAV:\0"s}}, kWrongVersion);
}

TEST_F(RefusedDatabaseTest, OldLayout) {
  expect_refused({{"NS_TABLE", "whatever"}, {"1:a\0"s, "\0v\0"s}}, kWrongVersion);
}

TEST_F(RefusedDatabaseTest, MetadataShorterThanItsHeader) {
  expect_refused({{"METADATA", "\x04\x00"s}}, "Prop database is damaged");
}

TEST_F(RefusedDatabaseTest, CountLargerThanTheTable) {
  expect_refused({{"METADATA", "\x04\x00\x00\x05"s + "DAV:\0urn:x\0"s}},
                 "Prop database is damaged");
}

TEST_F(PropdbTest, MinorVersionIsKeptWhenTheTableGrows) {
  ASSERT_EQ(::mkdir((dir_ / ".DAV").c_str(), 0777), 0);
  kiv_test::write_dbm(document_db(), {{"METADATA", "\x04\x09\x00\x01"s + "DAV:\0"s}});
  store_in_new_db("<x:a>1</x:a>", " xmlns:x=\"urn:x\"");
  EXPECT_EQ(read_dbm(document_db()).at("METADATA"), "\x04\x09\x00\x02"s + "DAV:\0urn:x\0"s);
}

TEST_F(PropdbTest, DamagedKeysAndValuesAreRefusedWhenRead) {
  ASSERT_EQ(::mkdir((dir_ / ".DAV").c_str(), 0777), 0);
  kiv_test::write_dbm(document_db(), {{"METADATA", "\x04\x00\x00\x02"s + "DAV:\0urn:x\0"s},
                                      {"1:bad\0"s, "no terminator"s},
                                      {"7:far\0"s, "\0v\0"s}});
  const std::string before = read_file(document_db());
  dav_db* db = open(true);
  ASSERT_NE(db, nullptr);
  dav_prop_name bad{"urn:x", "bad"};
  apr_text_header text{};
  int found = 0;
  dav_error* err = hooks.output_value(db, &bad, nullptr, &text, &found);
  ASSERT_NE(err, nullptr);
  EXPECT_EQ(err->error_id, 200);
  EXPECT_EQ(found, 0);

  // The listing meets the key whose index the table does not hold.
  dav_prop_name name{};
  err = hooks.first_name(db, &name);
  for (int steps = 0; err == nullptr && name.name != nullptr && steps < 10; ++steps) {
    err = hooks.next_name(db, &name);
  }
  ASSERT_NE(err, nullptr);
  EXPECT_EQ(err->status, 500);
  EXPECT_EQ(err->error_id, 200);
  hooks.close(db);
  EXPECT_EQ(read_file(document_db()), before);
}

TEST_F(PropdbTest, NamespaceTableStopsAt32767) {
  dav_db* db = open(false);
  ASSERT_NE(db, nullptr);
  dav_namespace_map* map = nullptr;
  ASSERT_EQ(hooks.map_namespaces(db, uris("u", 0, 32766), &map), nullptr);

  // Two more do not fit: nothing of them is taken.
  map = reinterpret_cast<dav_namespace_map*>(1);
  dav_error* err = hooks.map_namespaces(db, uris("u", 32766, 32768), &map);
  ASSERT_NE(err, nullptr);
  EXPECT_EQ(err->status, 500);
  EXPECT_EQ(map, nullptr);
  EXPECT_EQ(db->namespace_count, 32766);

  ASSERT_EQ(hooks.map_namespaces(db, uris("u", 32766, 32767), &map), nullptr);
  EXPECT_EQ(map->indexes[0], 32766);
  EXPECT_NE(hooks.map_namespaces(db, uris("u", 40000, 40001), &map), nullptr);
  // Known namespaces still map when the table is full.
  ASSERT_EQ(hooks.map_namespaces(db, uris("u", 5, 6), &map), nullptr);
  EXPECT_EQ(map->indexes[0], 5);

  // store refuses to run without a map.
  const Request r = request("<plain>v</plain>");
  const dav_prop_name name = name_of(r, r.props[0]);
  EXPECT_NE(hooks.store(db, &name, r.props[0], nullptr), nullptr);
  hooks.close(db);

  const std::string metadata = read_dbm(document_db()).at("METADATA");
  EXPECT_EQ(metadata.substr(0, 4), "\x04\x00\x7F\xFF"s);
  EXPECT_EQ(read_dbm(document_db()).size(), 1u);
}

// One PROPPATCH of property k<n> in namespace urn:w<p>.<t> of the document at path, as mod_dav
// drives it: open, map, take a rollback record, store, close. False on any error.
bool update_property(apr_pool_t* parent, const std::string& path, int p, int t, int n) {
  apr_pool_t* pool = nullptr;
  apr_pool_create(&pool, parent);
  const std::string ns = "urn:w" + std::to_string(p) + "." + std::to_string(t);
  const std::string name = "k" + std::to_string(n);
  apr_xml_doc* doc = kiv_test::parse_xml(
      pool, "<D:propertyupdate xmlns:D=\"DAV:\" xmlns:w=\"" + ns + "\"><D:set><D:prop><w:" + name +
                ">v" + std::to_string(n) + "</w:" + name + "></D:prop></D:set></D:propertyupdate>");
  apr_xml_elem* elem = doc->root->first_child->first_child->first_child;
  const dav_prop_name prop{APR_XML_GET_URI_ITEM(doc->namespaces, elem->ns), elem->name};
  dav_db* db = nullptr;
  dav_namespace_map* map = nullptr;
  dav_deadprop_rollback* rollback = nullptr;
  bool ok = hooks.open(pool, kiv_test::make_resource(pool, path, false), 0, &db) == nullptr &&
            db != nullptr && hooks.map_namespaces(db, doc->namespaces, &map) == nullptr &&
            hooks.get_rollback(db, &prop, &rollback) == nullptr &&
            hooks.store(db, &prop, elem, map) == nullptr;
  if (db != nullptr) hooks.close(db);
  apr_pool_destroy(pool);
  return ok;
}

// Lists and renders every property of the document at path, as a PROPFIND does; the number of
// failures met.
int read_properties(apr_pool_t* pool, const std::string& path) {
  int bad_reads = 0;
  dav_db* db = nullptr;
  if (hooks.open(pool, kiv_test::make_resource(pool, path, false), 1, &db) != nullptr) ++bad_reads;
  if (db == nullptr) return bad_reads;
  dav_xmlns_info* xi = dav_xmlns_create(pool);
  hooks.define_namespaces(db, xi);
  dav_prop_name name{};
  dav_error* err = hooks.first_name(db, &name);
  for (int steps = 0; err == nullptr && name.name != nullptr && steps < 1000; ++steps) {
    dav_prop_name copy{apr_pstrdup(pool, name.ns), apr_pstrdup(pool, name.name)};
    apr_text_header text{};
    int found = 0;
    if (hooks.output_value(db, &copy, xi, &text, &found) != nullptr || !found) ++bad_reads;
    err = hooks.next_name(db, &name);
  }
  if (err != nullptr) ++bad_reads;
  hooks.close(db);
  return bad_reads;
}

// PROPPATCH from several processes and threads at once on one document, each writer with a
// namespace of its own, while readers list and render every property. Afterwards every property
// is there with its value and the table holds each URI once.
TEST_F(PropdbTest, ConcurrentPropertyUpdatesOnOneDocument) {
  constexpr int kProcesses = 2;
  constexpr int kThreads = 3;
  constexpr int kUpdates = 100;
  const std::string path = dir_ / "a.xml";

  const std::vector<pid_t> children =
      kiv_test::fork_workers(kProcesses, kThreads, [&](apr_pool_t* pool, int p, int t) {
        bool ok = true;
        for (int n = 0; n < kUpdates; ++n) ok = update_property(pool, path, p, t, n) && ok;
        return ok;
      });

  std::atomic<bool> writing{true};
  std::atomic<int> bad_reads{0};
  apr_pool_t* reader_pool = nullptr;
  apr_pool_create(&reader_pool, pool_);
  std::thread reader([&] {
    while (writing.load()) {
      apr_pool_t* pool = nullptr;
      apr_pool_create(&pool, reader_pool);
      bad_reads += read_properties(pool, path);
      apr_pool_destroy(pool);
    }
  });

  kiv_test::wait_workers(children);
  writing = false;
  reader.join();
  EXPECT_EQ(bad_reads.load(), 0);

  dav_db* db = open(true);
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(db->namespace_count, 1 + kProcesses * kThreads);
  std::set<std::string> uris;
  const auto names = listing(db);
  EXPECT_EQ(names.size(), static_cast<std::size_t>(kProcesses * kThreads * kUpdates));
  for (int p = 0; p < kProcesses; ++p) {
    for (int t = 0; t < kThreads; ++t) {
      const std::string ns = "urn:w" + std::to_string(p) + "." + std::to_string(t);
      for (int n = 0; n < kUpdates; ++n) {
        const std::string line = output(db, ns.c_str(), ("k" + std::to_string(n)).c_str());
        EXPECT_NE(line.find(">v" + std::to_string(n) + "</"), std::string::npos) << ns << n;
      }
    }
  }
  hooks.close(db);
  const std::string table = read_dbm(document_db()).at("METADATA");
  for (std::size_t pos = 4; pos < table.size(); pos = table.find('\0', pos) + 1) {
    EXPECT_TRUE(uris.insert(table.c_str() + pos).second) << "duplicate " << table.c_str() + pos;
  }
}

}  // namespace
