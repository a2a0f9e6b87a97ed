// The page library's TypeScript declarations, as a page developer meets
// them: the npm package installed under node_modules/tallykey, a page
// script that uses every part of it, and one whose mistakes they must
// catch (each marked @ts-expect-error: a mistake let through fails tsc).
//
// Environment: TALLYKEY_PAGELIB (the staged npm package folder).
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import test from "node:test";

const HERE = path.dirname(new URL(import.meta.url).pathname);
const TSC = path.join(HERE, "..", "browser", "node_modules", ".bin", "tsc");

function project(pages) {
  const folder = fs.mkdtempSync(path.join(os.tmpdir(), "tallykey-types-"));
  fs.mkdirSync(path.join(folder, "node_modules"));
  fs.symlinkSync(process.env.TALLYKEY_PAGELIB, path.join(folder, "node_modules", "tallykey"));
  for (const page of pages)
    fs.copyFileSync(path.join(HERE, page), path.join(folder, page));
  fs.writeFileSync(path.join(folder, "tsconfig.json"), JSON.stringify({
    compilerOptions: { noEmit: true, strict: true, target: "es2022", module: "es2022",
                       moduleResolution: "bundler", lib: ["es2022", "dom"], types: [] },
    files: pages,
  }));
  return folder;
}

function tsc(folder) {
  try {
    execFileSync(TSC, ["-p", folder], { encoding: "utf8" });
    return "";
  } catch (error) {
    return error.stdout || String(error);
  }
}

test("a page script type-checks against the package's declarations", () => {
  const folder = project(["example-page.ts", "wrong-page.ts"]);
  try {
    assert.equal(tsc(folder), "");
  } finally {
    fs.rmSync(folder, { recursive: true });
  }
});

test("the declarations catch a page's mistakes", () => {
  // Without its @ts-expect-error marks the wrong page must fail, line by line.
  const folder = project(["wrong-page.ts"]);
  try {
    const page = path.join(folder, "wrong-page.ts");
    fs.writeFileSync(page, fs.readFileSync(page, "utf8").replace(/\/\/ @ts-expect-error.*\n/g, ""));
    const errors = tsc(folder).split("\n").filter((line) => line.includes("error TS"));
    assert.equal(errors.length, 5, errors.join("\n"));
  } finally {
    fs.rmSync(folder, { recursive: true });
  }
});

test("every error code the library knows is declared, and no other", () => {
  const declared = fs.readFileSync(path.join(process.env.TALLYKEY_PAGELIB, "tallykey.d.ts"), "utf8")
    .match(/export type ErrorCode =([^;]*);/)[1].match(/"[a-z-]+"/g).map((code) => JSON.parse(code));
  const library = fs.readFileSync(path.join(process.env.TALLYKEY_PAGELIB, "tallykey.js"), "utf8");
  const known = [...library.match(/const ERRORS = \{([^}]*)\}/)[1].matchAll(/"([a-z-]+)":/g)].map((m) => m[1]);
  assert.deepEqual(declared.sort(), known.sort());
});
