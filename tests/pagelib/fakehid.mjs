// A fake navigator.hid for the page library's WebHID path under node: its
// keys are the simulated key's own firmware (compiled to WebAssembly), so
// that every report is answered as simkey's devices and the key answer it.
//
// Environment: TALLYKEY_SIMKEY_FIRMWARE (the wasm build's test folder).
import fs from "node:fs";
import path from "node:path";

const FIRMWARE_DIR = process.env.TALLYKEY_SIMKEY_FIRMWARE;
const { default: SimkeyFirmware } = await import(path.join(FIRMWARE_DIR, "simkey-firmware.js"));
const firmware = await SimkeyFirmware({ wasmBinary: fs.readFileSync(path.join(FIRMWARE_DIR, "simkey-firmware.wasm")) });

export const FAULT_BUSY_FOREVER = 1 << 1;
export const KEY_PRODUCT = "www.bhrbkey.cn";
let slots = 0;

// One device as WebHID shows it. A key has a firmware slot; `log` records
// every operation in order, for tests of what reached the device.
export class FakeDevice {
  constructor({ vendorId = 0x0111, productId = 0x0111, productName = KEY_PRODUCT, serial = "0a1b2c3d4e5f6071",
                key = true, withReportId = false, log = [] } = {}) {
    Object.assign(this, { vendorId, productId, productName, withReportId, log, opened: false, gone: false });
    this.hang = null;  // "send" or "receive": that operation never settles
    this.collections = [];
    if (key) {
      this.slot = slots++;
      const at = firmware._malloc(8);
      firmware.HEAPU8.set(Buffer.from(serial, "hex"), at);
      const made = firmware._simkey_init(this.slot, at);
      firmware._free(at);
      if (!made)
        throw new Error("the firmware has no slot left for another key");
    }
  }

  set(busyAnswers, faults = 0) { firmware._simkey_set(this.slot, busyAnswers, faults); }

  check(operation) {
    this.log.push(operation);
    if (this.unplugAfter !== undefined && this.log.length > this.unplugAfter)
      this.gone = true;
    if (this.gone)
      return Promise.reject(new DOMException("The device was disconnected.", "NotFoundError"));
    if (this.hang === operation)
      return new Promise(() => {});
    return null;
  }

  async open() {
    const failed = this.check("open");
    if (failed)
      return failed;
    this.opened = true;
  }

  async close() {
    this.log.push("close");
    this.opened = false;
  }

  sendFeatureReport(reportId, data) {
    const failed = this.check("send");
    if (failed)
      return failed;
    if (!this.opened || reportId !== 0 || data.length !== 64)
      return Promise.reject(new DOMException("Failed to write the feature report.", "NotAllowedError"));
    const report = firmware._simkey_report();
    firmware.HEAPU8[report] = 0;
    firmware.HEAPU8.set(data, report + 1);
    firmware._simkey_receive(this.slot);
    return Promise.resolve();
  }

  receiveFeatureReport(reportId) {
    const failed = this.check("receive");
    if (failed)
      return failed;
    if (!this.opened || reportId !== 0)
      return Promise.reject(new DOMException("Failed to receive the feature report.", "NotAllowedError"));
    firmware._simkey_answer(this.slot);
    const report = firmware._simkey_report();
    const bytes = firmware.HEAPU8.slice(report + (this.withReportId ? 0 : 1), report + 65);
    return Promise.resolve(new DataView(bytes.buffer));
  }

  // The MD5 of the key's password as the key holds it.
  passwordDigest() {
    const at = firmware._simkey_password_digest(this.slot);
    return Buffer.from(firmware.HEAPU8.slice(at, at + 16)).toString("hex");
  }
}

// navigator.hid: `granted` are the devices this site may use; the chooser
// answers with `pick` (a function of the filters, or an error to throw).
export class FakeHid {
  constructor(granted = []) {
    this.granted = granted;
    this.pick = () => [];
    this.requests = 0;
  }

  async getDevices() { return this.granted.filter((device) => !device.gone); }

  async requestDevice(options) {
    this.requests++;
    const picked = await this.pick(options);
    for (const device of picked)
      if (!this.granted.includes(device))
        this.granted.push(device);
    return picked;
  }
}

// navigator.locks with one exclusive lock per name, in request order, and a
// record of the names asked for.
export class FakeLocks {
  constructor() {
    this.held = new Map();
    this.names = [];
  }

  request(name, options, job) {
    this.names.push(name);
    const previous = this.held.get(name) || Promise.resolve();
    let release;
    const mine = new Promise((resolve) => { release = resolve; });
    this.held.set(name, previous.then(() => mine));
    return new Promise((resolve, reject) => {
      const signal = options && options.signal;
      let granted = false;
      if (signal)
        signal.addEventListener("abort", () => {
          if (!granted) {
            reject(signal.reason);
            previous.then(release);
          }
        });
      previous.then(() => {
        if (signal && signal.aborted)
          return;
        granted = true;
        Promise.resolve().then(job).then(resolve, reject).finally(release);
      });
    });
  }
}
