"""Dead properties over HTTP: PROPPATCH and PROPFIND, the bytes they leave on disk, damaged and
foreign databases, and many writers at once."""

import concurrent.futures
import os
import shutil

import pytest

import dbmfile
from davclient import PROPFIND_ALL, PROPFIND_NAMES, propfind_prop, responses

WRONG_MAJOR = "Prop database has the wrong major version number and cannot be used."


def patch(dav, path, inner, namespaces='xmlns:D="DAV:"'):
    body = ('<?xml version="1.0" encoding="utf-8"?><D:propertyupdate %s>%s</D:propertyupdate>'
            % (namespaces, inner))
    return dav.proppatch(path, body)


def prop_value(dav, path, ns, name):
    r = dav.propfind(path, propfind_prop((ns, name)))
    assert r.status == 207, r
    (props,) = responses(r).values()
    status, elem = props["{%s}%s" % (ns, name) if ns else name]
    return status, elem


@pytest.fixture
def doc(server, dav):
    doc.n += 1
    path = "/props-%d.txt" % doc.n
    assert dav.put(path, b"with properties").status == 201
    return path


doc.n = 0


def test_the_worked_example_byte_for_byte(server, dav, doc):
    r = patch(dav, doc, '<D:set><D:prop><x:author>Jo</x:author></D:prop></D:set>',
              namespaces='xmlns:D="DAV:" xmlns:x="urn:x"')
    assert r.status == 207
    records = dbmfile.read(os.path.join(server.repo, ".DAV", doc[1:]))
    assert records == {
        b"METADATA": b"\x04\x00\x00\x02DAV:\x00urn:x\x00",
        b"1:author\x00": b"\x00Jo\x00",
    }
    r = dav.propfind(doc, propfind_prop(("urn:x", "author")))
    assert b"<ns1:author>Jo</ns1:author>\n" in r.body
    assert b'xmlns:ns1="urn:x"' in r.body


def test_set_remove_and_list(dav, doc):
    assert patch(dav, doc, '<D:set><D:prop><t:a>1</t:a><t:b>2</t:b></D:prop></D:set>',
                 'xmlns:D="DAV:" xmlns:t="urn:t"').status == 207
    assert prop_value(dav, doc, "urn:t", "a")[1].text == "1"
    names = responses(dav.propfind(doc, PROPFIND_NAMES))[doc]
    assert "{urn:t}a" in names and "{urn:t}b" in names
    allprops = responses(dav.propfind(doc, PROPFIND_ALL))[doc]
    assert allprops["{urn:t}b"][1].text == "2"
    assert patch(dav, doc, '<D:remove><D:prop><t:a/></D:prop></D:remove>',
                 'xmlns:D="DAV:" xmlns:t="urn:t"').status == 207
    assert prop_value(dav, doc, "urn:t", "a")[0] == 404
    assert prop_value(dav, doc, "urn:t", "b")[1].text == "2"


def test_values_keep_language_escapes_children_and_emptiness(server, dav, doc):
    r = patch(dav, doc,
              '<D:set><D:prop>'
              '<color>red</color>'
              '<t:lang xml:lang="en">a&amp;b</t:lang>'
              '<t:nested><u:given xmlns:u="urn:u">Jo</u:given><plain>x</plain></t:nested>'
              '<t:empty/>'
              '</D:prop></D:set>', 'xmlns:D="DAV:" xmlns:t="urn:t"')
    assert r.status == 207
    assert prop_value(dav, doc, "", "color")[1].text == "red"
    status, lang = prop_value(dav, doc, "urn:t", "lang")
    assert lang.text == "a&b"
    assert lang.get("{http://www.w3.org/XML/1998/namespace}lang") == "en"
    nested = prop_value(dav, doc, "urn:t", "nested")[1]
    assert nested.find("{urn:u}given").text == "Jo"
    assert nested.find("plain").text == "x"
    status, empty = prop_value(dav, doc, "urn:t", "empty")
    assert status == 200 and empty.text is None and len(empty) == 0

    records = dbmfile.read(os.path.join(server.repo, ".DAV", doc[1:]))
    assert records[b":color\x00"] == b"\x00red\x00"
    lang_key = [k for k in records if k.endswith(b":lang\x00")][0]
    assert records[lang_key] == b"en\x00a&amp;b\x00"


def test_namespace_table_only_grows(server, dav, doc):
    patch(dav, doc, '<D:set><D:prop><a:p>1</a:p></D:prop></D:set>',
          'xmlns:D="DAV:" xmlns:a="urn:a"')
    patch(dav, doc, '<D:set><D:prop><b:p>2</b:p><a:q>3</a:q></D:prop></D:set>',
          'xmlns:D="DAV:" xmlns:b="urn:b" xmlns:a="urn:a"')
    records = dbmfile.read(os.path.join(server.repo, ".DAV", doc[1:]))
    assert records[b"METADATA"] == b"\x04\x00\x00\x03DAV:\x00urn:a\x00urn:b\x00"
    assert records[b"1:p\x00"] == b"\x001\x00"
    assert records[b"2:p\x00"] == b"\x002\x00"
    assert records[b"1:q\x00"] == b"\x003\x00"


def test_collection_properties_live_in_its_own_state_directory(server, dav):
    assert dav.mkcol("/pcol").status == 201
    patch(dav, "/pcol", '<D:set><D:prop><t:k>v</t:k></D:prop></D:set>',
          'xmlns:D="DAV:" xmlns:t="urn:t"')
    assert os.path.exists(os.path.join(server.repo, "pcol", ".DAV", ".state_for_dir"))
    assert prop_value(dav, "/pcol", "urn:t", "k")[1].text == "v"


def test_reading_creates_nothing(server, dav):
    dav.mkcol("/quiet")
    dav.put("/quiet/doc.txt", b"x")
    dav.propfind("/quiet/doc.txt", PROPFIND_ALL)
    dav.propfind("/quiet", PROPFIND_ALL, depth="1")
    assert not os.path.exists(os.path.join(server.repo, "quiet", ".DAV"))


def test_depth_one_shows_each_members_own_properties(dav):
    dav.mkcol("/members")
    for name in ("a", "b"):
        dav.put("/members/%s.txt" % name, b"m")
        patch(dav, "/members/%s.txt" % name,
              '<D:set><D:prop><t:who>%s</t:who></D:prop></D:set>' % name,
              'xmlns:D="DAV:" xmlns:t="urn:t"')
    listing = responses(dav.propfind("/members", PROPFIND_ALL, depth="1"))
    assert listing["/members/a.txt"]["{urn:t}who"][1].text == "a"
    assert listing["/members/b.txt"]["{urn:t}who"][1].text == "b"
    assert "{urn:t}who" not in listing["/members/"]


@pytest.mark.parametrize("records", [
    {b"METADATA": b"\x03\x00\x00\x00"},
    {b"METADATA": b"\x05\x00\x00\x01urn:x\x00"},
    {b"NS_TABLE": b"\x00\x00", b"1:a\x00": b"x\x00"},
], ids=["major3", "major5", "old-layout"])
def test_foreign_database_is_refused_and_left_alone(server, dav, records):
    server.allow_errors(r"wrong major version|Could not open the property database|"
                        r"property database")
    dav.mkcol("/foreign")
    dav.put("/foreign/doc.txt", b"x")
    state = os.path.join(server.repo, "foreign", ".DAV")
    os.makedirs(state, exist_ok=True)
    path = os.path.join(state, "doc.txt")
    if os.path.exists(path):
        os.remove(path)
    dbmfile.write(path, records)
    if server.account:
        shutil.chown(state, server.account, server.account)
        shutil.chown(path, server.account, server.account)
    with open(path, "rb") as f:
        before = f.read()
    # mod_dav lists only the live properties of a resource whose database it cannot open ...
    r = dav.propfind("/foreign/doc.txt", PROPFIND_ALL)
    assert r.status == 207
    assert "{urn:t}k" not in responses(r)["/foreign/doc.txt"]
    # ... and refuses to change it.
    r = patch(dav, "/foreign/doc.txt", '<D:set><D:prop><t:k>v</t:k></D:prop></D:set>',
              'xmlns:D="DAV:" xmlns:t="urn:t"')
    assert r.status == 207 and "500" in r.text
    assert server.log_has(WRONG_MAJOR)
    with open(path, "rb") as f:
        assert f.read() == before


def test_damaged_metadata_is_refused(server, dav):
    server.allow_errors(r"(?i)damaged|corrupt|property database")
    dav.mkcol("/damaged")
    dav.put("/damaged/doc.txt", b"x")
    state = os.path.join(server.repo, "damaged", ".DAV")
    os.makedirs(state, exist_ok=True)
    cases = [
        ({b"METADATA": b"\x04\x00"}, True),                      # shorter than its header
        ({b"METADATA": b"\x04\x00\x00\x05urn:x\x00"}, True),  # count beyond the strings
        # A key whose namespace index is beyond the table shows when the keys are listed.
        ({b"METADATA": b"\x04\x00\x00\x01urn:x\x00", b"7:k\x00": b"\x00v\x00"}, False),
    ]
    path = os.path.join(state, "doc.txt")
    for records, refused_on_open in cases:
        if os.path.exists(path):
            os.remove(path)
        dbmfile.write(path, records)
        if server.account:
            shutil.chown(state, server.account, server.account)
            shutil.chown(path, server.account, server.account)
        with open(path, "rb") as f:
            before = f.read()
        server.mark_log()
        server.allow_errors(r"(?i)damaged|corrupt|property database")
        r = dav.propfind("/damaged/doc.txt", PROPFIND_ALL)
        assert r.status in (207, 500)
        if refused_on_open:
            r = patch(dav, "/damaged/doc.txt", '<D:set><D:prop><t:k>v</t:k></D:prop></D:set>',
                      'xmlns:D="DAV:" xmlns:t="urn:t"')
            assert r.status == 207 and "500" in r.text
            assert server.log_has("Prop database is damaged and cannot be used")
        else:
            assert b"<ns7:k" not in r.body
        with open(path, "rb") as f:
            assert f.read() == before
        assert server.httpd.poll() is None


def test_deleting_a_document_removes_its_properties(server, dav, doc):
    patch(dav, doc, '<D:set><D:prop><t:k>v</t:k></D:prop></D:set>',
          'xmlns:D="DAV:" xmlns:t="urn:t"')
    state = os.path.join(server.repo, ".DAV", doc[1:])
    assert os.path.exists(state)
    assert dav.delete(doc).status == 204
    assert not os.path.exists(state)


def test_a_failing_change_leaves_the_others_unapplied(server, dav, doc):
    server.allow_errors(r"Property is read-only|read-only|could not be completed due to other")
    patch(dav, doc, '<D:set><D:prop><t:keep>old</t:keep></D:prop></D:set>',
          'xmlns:D="DAV:" xmlns:t="urn:t"')
    r = patch(dav, doc, '<D:set><D:prop><t:keep>new</t:keep><D:getetag>x</D:getetag>'
              '</D:prop></D:set>', 'xmlns:D="DAV:" xmlns:t="urn:t"')
    assert r.status == 207
    assert prop_value(dav, doc, "urn:t", "keep")[1].text == "old"


def test_many_writers_at_once_lose_nothing(server):
    """Threads of this test and processes and threads of the server write the same documents."""
    docs = ["/stress-%d.txt" % i for i in range(4)]
    setup = server.dav()
    for d in docs:
        setup.put(d, b"s")
    setup.close()

    def writer(w):
        client = server.dav()
        try:
            for i in range(40):
                d = docs[i % len(docs)]
                r = patch(client, d, '<D:set><D:prop><s:w%d>%d</s:w%d></D:prop></D:set>'
                          % (w, i, w), 'xmlns:D="DAV:" xmlns:s="urn:stress"')
                assert r.status == 207
        finally:
            client.close()

    with concurrent.futures.ThreadPoolExecutor(16) as pool:
        list(pool.map(writer, range(16)))
    check = server.dav()
    for i, d in enumerate(docs):
        listing = responses(check.propfind(d, PROPFIND_ALL))[d]
        for w in range(16):
            last = max(j for j in range(40) if j % len(docs) == i)
            assert listing["{urn:stress}w%d" % w][1].text == str(last), (d, w)
        dbmfile.read(os.path.join(server.repo, ".DAV", d[1:]))
    check.close()
