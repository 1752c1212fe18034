"use strict";
{{constants}}
// Messages beyond the first seven, in the same shape (the 64-byte head, then the payload):
// - every head carries the wall clock at AT_CLOCK: u32 seconds since 2025-01-01 00:00 UTC (Unix time less EPOCH),
//   by which the viewer asks for stored history;
// - CHAR: a = the Unicode code point of a character typed on the page (not with Ctrl, Alt or Meta held);
// - KEYDOWN: a = the virtual-key code of a named key pressed on the page (KEYS below).
// Typing into the key form stays the form's: only the form's submit reaches the viewer, as KEY.
// Beyond the first five commands, WAKE: u32 ms until the next TICK (at least TICK_MS), replacing the wait asked
// before; until the module asks, a TICK comes every TICK_MS. STREAM: u32 id, then a POST's fields; the answer is
// read as it comes, each part given as NET with b = PART and c = id (its head first, without bytes), its end as NET
// with b = END (a = 0 after a failure). A STREAM with no path ends the one that runs, unread.
// Comment lines of this file are left out of what the dashboard serves.
(async function () {
  const canvas = document.getElementById("screen");
  // Every pixel the module gives is opaque: the canvas needs no blending with the page under it. Its context is
  // made with the first frame, so that until then the page's colour shows, not an opaque black.
  let context = null;
  const form = document.getElementById("key");
  const input = document.getElementById("text");
  const start = performance.now();
  const encoder = new TextEncoder();
  const decoder = new TextDecoder();
  const empty = new Uint8Array(0);
  let pending = empty;
  let handle = 0n;

  // The module's memory is 64-bit: addresses and counts cross as BigInt. Its view is made again only when the
  // memory grew (the old buffer is then detached).
  let exports = null;
  let bytes = null;
  const memory = () => {
    if (bytes === null || bytes.buffer !== exports.memory.buffer) bytes = new Uint8Array(exports.memory.buffer);
    return bytes;
  };
  // What the module wrote, read in place: every command is done before the module runs again.
  const view = (at, length) => memory().subarray(Number(at), Number(at) + Number(length));

  let image = null;
  function frame(fields) {
    const at = Number(fields.getBigUint64(0, true));
    const stride = fields.getUint32(8, true), width = fields.getUint32(12, true), height = fields.getUint32(16, true);
    const size = stride * height * 4;
    if (stride === 0 || height === 0 || width > stride || at + size > exports.memory.buffer.byteLength) return;
    let whole = fields.byteLength < 24;
    if (canvas.width !== width || canvas.height !== height) {
      canvas.width = width;
      canvas.height = height;
      whole = true;
    }
    if (context === null) context = canvas.getContext("2d", { alpha: false });
    // The module draws into the same pixels every frame: their image is made again only when they moved.
    if (image === null || image.data.buffer !== exports.memory.buffer || image.data.byteOffset !== at ||
        image.width !== stride || image.height !== height)
      image = new ImageData(new Uint8ClampedArray(exports.memory.buffer, at, size), stride, height);
    // Only the blocks that changed are put: the canvas keeps the rest.
    const count = whole ? 0 : fields.getUint32(20, true);
    if (whole || fields.byteLength < 24 + count * 16) {
      context.putImageData(image, 0, 0, 0, 0, width, height);
      return;
    }
    for (let i = 0, at = 24; i < count; i += 1, at += 16)
      context.putImageData(image, 0, 0, fields.getUint32(at, true), fields.getUint32(at + 4, true),
        fields.getUint32(at + 8, true), fields.getUint32(at + 12, true));
  }

  // A POST's path and body: the path's length, the path, then the body.
  function request(body, signal) {
    const n = new DataView(body.buffer, body.byteOffset, body.byteLength).getUint32(0, true);
    if (4 + n > body.length) return null;
    return fetch(decoder.decode(body.subarray(4, 4 + n)), { method: "POST", body: body.slice(4 + n), cache: "no-store",
                                                             signal });
  }

  function post(body) {
    const answer = request(body);
    if (answer === null) return;
    answer.then((answer) => answer.arrayBuffer().then((bytes) => send(NET, answer.status, 0, 0, new Uint8Array(bytes))))
      .catch(() => send(NET, 0, 0, 0, empty));
  }

  // One stream at a time: a new one, or one with no path, ends the last.
  let streaming = null;
  async function stream(id, body) {
    if (streaming !== null) streaming.abort();
    streaming = null;
    if (body.length <= 4 || new DataView(body.buffer, body.byteOffset).getUint32(0, true) === 0) return;
    const control = new AbortController();
    streaming = control;
    let status = 0;
    try {
      const answer = await request(body, control.signal);
      if (answer === null) return;
      status = answer.status;
      send(NET, status, PART, id, empty);
      const reader = answer.body.getReader();
      for (;;) {
        const { done, value } = await reader.read();
        if (done || control.signal.aborted) break;
        send(NET, status, PART, id, value);
      }
    } catch (error) {
      status = 0;
    }
    if (!control.signal.aborted) send(NET, status, END, id, empty);
    if (streaming === control) streaming = null;
  }

  function saveKey(body) {
    try {
      if (body.length === 0) sessionStorage.removeItem(STORE);
      else sessionStorage.setItem(STORE, decoder.decode(body));
    } catch (error) {
      console.error(error);
    }
  }

  function askKey(flag) {
    form.style.display = flag ? "block" : "none";
    if (flag) input.focus();
  }

  function run(out) {
    const fields = new DataView(out.buffer, out.byteOffset, out.byteLength);
    for (let at = 0; at + CMD_HEAD <= out.length;) {
      const command = fields.getUint32(at, true), length = fields.getUint32(at + 4, true);
      const body = out.subarray(at + CMD_HEAD, at + CMD_HEAD + length);
      if (body.length < length) return;
      at += CMD_HEAD + length;
      const view = new DataView(body.buffer, body.byteOffset, body.byteLength);
      if (command === FRAME && length >= 20) frame(view);
      else if (command === POST && length >= 4) post(body);
      else if (command === SAVE_KEY) saveKey(body);
      else if (command === ASK_KEY && length >= 4) askKey(view.getUint32(0, true));
      else if (command === HANDLE && length >= 8) handle = view.getBigUint64(0, true);
      else if (command === WAKE && length >= 4) wake(view.getUint32(0, true));
      else if (command === STREAM && length >= 8) stream(view.getUint32(0, true), body.slice(4));
    }
  }

  const host = {
    read_input(dest, capacity) {
      const n = Math.min(pending.length, Number(capacity));
      memory().set(pending.subarray(0, n), Number(dest));
      pending = empty;
      return BigInt(n);
    },
    write_output(source, length) { run(view(source, length)); },
    write_error(source, length) { console.error(decoder.decode(view(source, length))); },
    exit(code) {},
  };

  // Fresh random bytes for each head, drawn from the browser's source a batch at a time; each is given once and
  // wiped.
  const random = new Uint8Array(2048);
  let randomAt = random.length;
  function fresh(into) {
    if (randomAt === random.length) {
      crypto.getRandomValues(random);
      randomAt = 0;
    }
    into.set(random.subarray(randomAt, randomAt + HEAD - AT_RANDOM), AT_RANDOM);
    random.fill(0, randomAt, randomAt + HEAD - AT_RANDOM);
    randomAt += HEAD - AT_RANDOM;
  }

  // One message: the head, the payload, and one call of the module. A message without payload (the ticks, the
  // pointer) reuses one head: the module has copied it before the next is made.
  const bare = new Uint8Array(HEAD);
  const bareHead = new DataView(bare.buffer);
  function send(kind, a, b, c, payload) {
    const message = payload.length ? new Uint8Array(HEAD + payload.length) : bare;
    const head = payload.length ? new DataView(message.buffer) : bareHead;
    head.setUint32(0, kind, true);
    head.setUint32(AT_NOW, Math.floor(performance.now() - start) % 4294967296, true);
    head.setInt32(AT_A, a, true);
    head.setInt32(AT_B, b, true);
    head.setInt32(AT_C, c, true);
    head.setUint32(AT_CLOCK, Math.max(0, Math.floor(Date.now() / 1000) - EPOCH), true);
    head.setBigUint64(AT_HANDLE, handle, true);
    fresh(message);
    if (payload.length) message.set(payload, HEAD);
    pending = message;
    exports._start();
    if (timer === 0) wake(TICK_MS);
  }

  let timer = 0;
  function wake(ms) {
    clearTimeout(timer);
    timer = setTimeout(() => {
      timer = 0;
      send(TICK, 0, 0, 0, empty);
    }, Math.max(TICK_MS, ms));
  }

  const { instance } = await WebAssembly.instantiateStreaming(fetch(MODULE), { host });
  exports = instance.exports;

  const size = () => [innerWidth, innerHeight, Math.round(devicePixelRatio * RATIO)];
  send(INIT, ...size(), empty);
  // The key is kept for this tab's session only: the page comes over plain HTTP, and a key kept for good would stay
  // readable in every browser profile that ever opened the dashboard. One kept for good by an earlier version is
  // taken into the session once and removed.
  let stored = "";
  try {
    stored = sessionStorage.getItem(STORE) || localStorage.getItem(STORE) || "";
    if (localStorage.getItem(STORE) !== null) localStorage.removeItem(STORE);
  } catch (error) {
    console.error(error);
  }
  send(KEY, 0, 0, 0, encoder.encode(stored));
  addEventListener("resize", () => send(RESIZE, ...size(), empty));
  const pointer = (type) => (event) => send(POINTER, Math.round(event.clientX), Math.round(event.clientY), type, empty);
  canvas.addEventListener("pointerdown", pointer(DOWN));
  canvas.addEventListener("pointermove", pointer(MOVE));
  canvas.addEventListener("pointerup", pointer(UP));
  canvas.addEventListener("pointercancel", pointer(CANCEL));
  canvas.addEventListener("wheel", (event) => {
    event.preventDefault();
    send(WHEEL, Math.round(event.clientX), Math.round(event.clientY), Math.round(event.deltaY), empty);
  }, { passive: false });
  const KEYS = { Backspace: 8, Enter: 13, Escape: 27, PageUp: 33, PageDown: 34, End: 35, Home: 36, ArrowLeft: 37,
    ArrowUp: 38, ArrowRight: 39, ArrowDown: 40, Delete: 46 };
  addEventListener("keydown", (event) => {
    if (event.target === input || event.ctrlKey || event.altKey || event.metaKey) return;
    const typed = [...event.key];
    if (typed.length === 1) send(CHAR, typed[0].codePointAt(0), 0, 0, empty);
    else if (KEYS[event.key]) send(KEYDOWN, KEYS[event.key], 0, 0, empty);
    else return;
    event.preventDefault();
  });
  form.addEventListener("submit", (event) => {
    event.preventDefault();
    send(KEY, 0, 0, 0, encoder.encode(input.value));
    input.value = "";
  });
})();
