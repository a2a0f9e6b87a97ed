// The npm package as npm packs it: the compiled library, its declarations
// and the bound-message core it loads, at the product's version.
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import fs from "node:fs";
import { test } from "node:test";

const SERVER = new URL("..", import.meta.url).pathname;

test("the package carries the library, its declarations and its core, at VERSION", () => {
  const [packed] = JSON.parse(execFileSync("npm", ["pack", "--dry-run", "--json", "--loglevel=error"], { cwd: SERVER, encoding: "utf8" }));
  const files = packed.files.map((file) => file.path);
  const modules = fs.readdirSync(new URL("../src/", import.meta.url)).map((name) => name.replace(/\.ts$/, ""));
  for (const module of modules)
    assert.ok(files.includes(`dist/${module}.js`) && files.includes(`dist/${module}.d.ts`), module);
  assert.ok(files.includes("dist/core/tallykey-server-core.cjs") && files.includes("dist/core/tallykey-server-core.wasm"));
  assert.ok(files.includes("README.md"));
  assert.deepEqual(files.filter((file) => !file.startsWith("dist/")).sort(), ["README.md", "package.json"]);
  assert.equal(packed.version, fs.readFileSync(new URL("../../VERSION", import.meta.url), "utf8").trim());
});
