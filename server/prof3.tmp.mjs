import { PostgresStore, TallykeyServer } from "./dist/index.js";
import { PostgresCluster, postgresBin } from "./test/postgres.mjs";
import { keyDigest } from "./test/suite.mjs";
const c = new PostgresCluster(postgresBin().bin); c.start();
const site = new TallykeyServer({ origin: "https://bank.example", store: new PostgresStore(c.connection), keyEncryptionKey: "11".repeat(32) });
const serial = "0011223344556677";
const { secret } = await site.enrol("a", serial);
const list = [];
for (let i = 0; i < 6000; i++) { const ch = await site.issueSignIn("s"); list.push({ session: "s", challenge: ch, serial, digest: await keyDigest(secret, "sign-in", "https://bank.example", ch) }); }
const { Session } = await import("node:inspector/promises");
const session = new Session(); session.connect(); await session.post("Profiler.enable"); await session.post("Profiler.start");
let next = 0; const s = performance.now();
await Promise.all(Array.from({ length: 10 }, async () => { while (next < list.length) await site.verifySignIn(list[next++]); }));
console.log("per verify us", ((performance.now() - s) / list.length * 1000).toFixed(0));
const { profile: p } = await session.post("Profiler.stop");
const self = {}; const byId = {}; p.nodes.forEach(n => byId[n.id] = n);
p.samples.forEach((id, i) => { const n = byId[id]; const k = n.callFrame.functionName + " " + n.callFrame.url.split("/").pop() + ":" + n.callFrame.lineNumber; self[k] = (self[k] || 0) + (p.timeDeltas[i] || 0); });
Object.entries(self).sort((a, b) => b[1] - a[1]).slice(0, 22).forEach(([k, v]) => console.log((v / 1000).toFixed(0), "ms", k));
await site.close(); c.remove();
