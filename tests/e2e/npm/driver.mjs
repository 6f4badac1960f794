// Drives the npm "webdav" client library for the end-to-end tests: one client for the URL given
// as the first argument, one call per line of standard input, one answer per line of output.
//
//   in:  {"call": "putFileContents", "args": ["/a.txt", {"base64": "aGk="}, {"overwrite": true}]}
//   out: {"ok": true, "value": true}
//        {"ok": false, "status": 404, "error": "Invalid response: 404 Not Found"}
//
// Bytes travel as {"base64": "..."} both ways. The process ends when its input ends.
import { createInterface } from "node:readline";
import { createClient } from "webdav";

const client = createClient(process.argv[2]);

function decode(value) {
  if (Array.isArray(value)) return value.map(decode);
  if (value && typeof value === "object") {
    if (typeof value.base64 === "string") return Buffer.from(value.base64, "base64");
    return Object.fromEntries(Object.entries(value).map(([k, v]) => [k, decode(v)]));
  }
  return value;
}

function encode(value) {
  if (Buffer.isBuffer(value)) return { base64: value.toString("base64") };
  if (value instanceof ArrayBuffer) return { base64: Buffer.from(value).toString("base64") };
  if (Array.isArray(value)) return value.map(encode);
  if (value && typeof value === "object") {
    return Object.fromEntries(Object.entries(value).map(([k, v]) => [k, encode(v)]));
  }
  return value === undefined ? null : value;
}

const lines = createInterface({ input: process.stdin, crlfDelay: Infinity });
for await (const line of lines) {
  if (!line.trim()) continue;
  let answer;
  try {
    const { call, args } = JSON.parse(line);
    if (typeof client[call] !== "function") throw new Error("no such call: " + call);
    answer = { ok: true, value: encode(await client[call](...decode(args || []))) };
  } catch (e) {
    const status = e.status ?? e.response?.status ?? null;
    answer = { ok: false, status, error: String(e.message || e) };
  }
  process.stdout.write(JSON.stringify(answer) + "\n");
}
