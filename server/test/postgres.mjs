// A PostgreSQL cluster of the tests' own: initdb and pg_ctl in a temporary
// folder, on a Unix socket there, as an unprivileged user when run as root
// (PostgreSQL refuses root). Gone again with stop().
import { execFileSync } from "node:child_process";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";

/** Where Debian's initdb and pg_ctl are, or a reason there are none. */
export function postgresBin() {
  const root = "/usr/lib/postgresql";
  const versions = fs.existsSync(root) ? fs.readdirSync(root).filter((v) => /^\d+$/.test(v)).sort((a, b) => b - a) : [];
  for (const version of versions) {
    const bin = path.join(root, version, "bin");
    if (fs.existsSync(path.join(bin, "initdb")) && fs.existsSync(path.join(bin, "pg_ctl")))
      return { bin };
  }
  return { missing: `no initdb and pg_ctl under ${root} (Debian's postgresql package; tools/bootstrap.sh installs it)` };
}

export class PostgresCluster {
  constructor(bin) {
    this.bin = bin;
    this.folder = fs.mkdtempSync(path.join(os.tmpdir(), "tallykey-pg-"));
    this.port = 5433;
    this.asRoot = process.getuid() === 0;
    try {
      if (this.asRoot)
        fs.chownSync(this.folder, 65534, 65534);
      this.#as("initdb", ["-D", this.data, "-U", "postgres", "--auth=trust", "-E", "UTF8", "--locale=C.UTF-8", "--no-sync"]);
    } catch (error) {
      fs.rmSync(this.folder, { recursive: true, force: true });
      throw error;
    }
  }

  get data() {
    return path.join(this.folder, "data");
  }

  /** node-postgres settings for this cluster. */
  get connection() {
    return { host: this.folder, port: this.port, user: "postgres", database: "postgres" };
  }

  start() {
    this.#as("pg_ctl", ["-D", this.data, "-l", path.join(this.folder, "server.log"), "-w", "-t", "30", "-o",
                        `-k ${this.folder} -c listen_addresses='' -p ${this.port} -c fsync=off`, "start"]);
  }

  /** mode: "fast" ends connections cleanly, "immediate" as a crash would. */
  stop(mode = "fast") {
    this.#as("pg_ctl", ["-D", this.data, "-m", mode, "-w", "-t", "30", "stop"]);
  }

  remove() {
    try {
      this.stop("immediate");
    } catch {
      // Not running.
    }
    fs.rmSync(this.folder, { recursive: true, force: true });
  }

  #as(program, args) {
    const command = path.join(this.bin, program);
    const [file, argv] = this.asRoot ? ["setpriv", ["--reuid=65534", "--regid=65534", "--clear-groups", command, ...args]]
                                     : [command, args];
    execFileSync(file, argv, { cwd: this.folder, stdio: ["ignore", "pipe", "pipe"], timeout: 60_000 });
  }
}
