"""A small HTTP/WebDAV client for the end-to-end tests: exact requests, raw answers."""

import http.client
import re
import urllib.parse
import xml.etree.ElementTree as ET

DAV_NS = "DAV:"


class Response:
    def __init__(self, status, reason, headers, body):
        self.status = status
        self.reason = reason
        self.headers = headers
        self.body = body

    def header(self, name, default=None):
        for key, value in self.headers:
            if key.lower() == name.lower():
                return value
        return default

    @property
    def text(self):
        return self.body.decode("utf-8", "replace")

    def xml(self):
        return ET.fromstring(self.body)

    def __repr__(self):
        return "<Response %d %s>" % (self.status, self.body[:200])


def quote(path):
    """Percent-encodes a decoded URI path."""
    return urllib.parse.quote(path, safe="/")


class Dav:
    """One keep-alive connection to the server; reconnects when the server closed it."""

    def __init__(self, host, port, timeout=60):
        self.host = host
        self.port = port
        self.timeout = timeout
        self.conn = None

    def close(self):
        if self.conn is not None:
            self.conn.close()
            self.conn = None

    def request(self, method, path, body=None, headers=None):
        headers = dict(headers or {})
        if isinstance(body, str):
            body = body.encode("utf-8")
        for attempt in (0, 1):
            if self.conn is None:
                self.conn = http.client.HTTPConnection(self.host, self.port, timeout=self.timeout)
            try:
                self.conn.request(method, path, body=body, headers=headers)
                r = self.conn.getresponse()
                data = r.read()
                result = Response(r.status, r.reason, r.getheaders(), data)
                if r.will_close:
                    self.close()
                return result
            except (http.client.RemoteDisconnected, BrokenPipeError, ConnectionResetError):
                self.close()
                if attempt == 1:
                    raise

    def get(self, path, headers=None):
        return self.request("GET", path, headers=headers)

    def head(self, path, headers=None):
        return self.request("HEAD", path, headers=headers)

    def put(self, path, body=b"", headers=None):
        return self.request("PUT", path, body, headers)

    def delete(self, path, headers=None):
        return self.request("DELETE", path, headers=headers)

    def mkcol(self, path, headers=None):
        return self.request("MKCOL", path, headers=headers)

    def move(self, src, dst, overwrite=None, headers=None):
        h = {"Destination": "http://%s:%d%s" % (self.host, self.port, dst)}
        if overwrite is not None:
            h["Overwrite"] = "T" if overwrite else "F"
        h.update(headers or {})
        return self.request("MOVE", src, headers=h)

    def copy(self, src, dst, overwrite=None, headers=None):
        h = {"Destination": "http://%s:%d%s" % (self.host, self.port, dst)}
        if overwrite is not None:
            h["Overwrite"] = "T" if overwrite else "F"
        h.update(headers or {})
        return self.request("COPY", src, headers=h)

    def propfind(self, path, body=None, depth="0", headers=None):
        h = {"Depth": depth, "Content-Type": "application/xml"}
        h.update(headers or {})
        return self.request("PROPFIND", path, body, h)

    def proppatch(self, path, body, headers=None):
        h = {"Content-Type": "application/xml"}
        h.update(headers or {})
        return self.request("PROPPATCH", path, body, h)

    def lock(self, path, owner="tester", scope="exclusive", depth="0", timeout="Second-600",
             headers=None):
        body = ('<?xml version="1.0" encoding="utf-8"?>'
                '<D:lockinfo xmlns:D="DAV:"><D:lockscope><D:%s/></D:lockscope>'
                '<D:locktype><D:write/></D:locktype><D:owner>%s</D:owner></D:lockinfo>'
                % (scope, owner))
        h = {"Depth": depth, "Timeout": timeout, "Content-Type": "application/xml"}
        h.update(headers or {})
        return self.request("LOCK", path, body, h)

    def unlock(self, path, token, headers=None):
        h = {"Lock-Token": "<%s>" % token}
        h.update(headers or {})
        return self.request("UNLOCK", path, headers=h)


def lock_token(response):
    """The token of a LOCK response's Lock-Token header, without its angle brackets."""
    value = response.header("Lock-Token")
    return value.strip("<>") if value else None


PROPFIND_ALL = '<?xml version="1.0"?><D:propfind xmlns:D="DAV:"><D:allprop/></D:propfind>'
PROPFIND_NAMES = '<?xml version="1.0"?><D:propfind xmlns:D="DAV:"><D:propname/></D:propfind>'


def propfind_prop(*names):
    """A PROPFIND body asking for (namespace, name) pairs."""
    props = "".join(('<x:%s xmlns:x="%s"/>' % (name, ns)) if ns else ("<%s/>" % name)
                    for ns, name in names)
    return '<?xml version="1.0"?><D:propfind xmlns:D="DAV:"><D:prop>%s</D:prop></D:propfind>' % props


def responses(multistatus):
    """Maps each href of a multistatus body to {"{ns}name": (status, element)} of its props."""
    root = multistatus.xml() if isinstance(multistatus, Response) else multistatus
    result = {}
    for resp in root.findall("{DAV:}response"):
        href = urllib.parse.unquote(resp.find("{DAV:}href").text)
        props = {}
        for propstat in resp.findall("{DAV:}propstat"):
            status = propstat.find("{DAV:}status").text
            code = int(re.search(r" (\d{3})", status).group(1))
            for prop in propstat.find("{DAV:}prop"):
                props[prop.tag] = (code, prop)
        status = resp.find("{DAV:}status")
        if status is not None:
            props["status"] = int(re.search(r" (\d{3})", status.text).group(1))
        result[href] = props
    return result
