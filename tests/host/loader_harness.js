// Runs the dashboard's served loader the way a page would, with the few browser objects it touches stood in:
// a canvas that records what is put on it, a form, local storage, window events. The loader fetches and starts the
// served module itself. Prints one JSON line of what happened, then ends.
// usage: node --experimental-wasm-memory64 loader_harness.js <dashboard url ending in />
"use strict";
const base = process.argv[2];
const seen = { errors: [], puts: [], canvas: null, form: null, stored: [] };

function element(id) {
  return {
    id,
    style: {},
    value: "",
    width: 300,
    height: 150,
    addEventListener() {},
    focus() {},
    getContext() {
      return {
        putImageData(image, x, y, dirtyX, dirtyY, dirtyWidth, dirtyHeight) {
          const d = image.data;
          seen.puts.push({ stride: image.width, height: image.height, dirtyWidth, dirtyHeight,
                           corner: [d[0], d[1], d[2], d[3]], inked: d.some((v, i) => v !== d[i % 4]) });
        },
      };
    },
  };
}
const elements = { screen: element("screen"), key: element("key"), text: element("text") };
globalThis.document = { getElementById: (id) => elements[id] };
globalThis.innerWidth = 640;
globalThis.innerHeight = 480;
globalThis.devicePixelRatio = 1.5;
globalThis.addEventListener = () => {};
// The loader's ticks never come: what it does is the first messages' doing.
const later = setTimeout;
globalThis.setTimeout = () => 0;
globalThis.clearTimeout = () => {};
globalThis.setInterval = () => 0;
globalThis.sessionStorage = {
  getItem: () => null,
  setItem: (k, v) => seen.stored.push([k, v]),
  removeItem: (k) => seen.stored.push([k, null]),
};
// Nothing may be kept for good.
globalThis.localStorage = {
  getItem: () => null,
  setItem: (k, v) => seen.stored.push(["local", k, v]),
  removeItem: (k) => seen.stored.push(["local", k, null]),
};
globalThis.ImageData = class {
  constructor(data, width, height) {
    if (data.length !== width * height * 4) throw new Error("ImageData of the wrong size");
    this.data = data;
    this.width = width;
    this.height = height;
  }
};
console.error = (...parts) => seen.errors.push(parts.join(" "));
const served = globalThis.fetch;
globalThis.fetch = (path, init) => served(new URL(path, base), init);

(async () => {
  const script = await (await served(new URL("vimbrel.js", base))).text();
  (0, eval)(script);
  for (let i = 0; i < 100 && seen.puts.length === 0; ++i) await new Promise((done) => later(done, 50));
  seen.canvas = [elements.screen.width, elements.screen.height];
  seen.form = elements.key.style.display || "";
  process.stdout.write(JSON.stringify(seen) + "\n");
  process.exit(0);
})().catch((error) => {
  process.stdout.write(JSON.stringify({ failed: String(error) }) + "\n");
  process.exit(1);
});
