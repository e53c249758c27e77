// The JOLTO controller page: a touch gamepad that speaks the host's datagram protocol, one
// datagram per binary WebSocket message.
"use strict";

const VERSION = 1;
const T = { hello: 1, welcome: 2, state: 3, ping: 4, pong: 5, goodbye: 6, rumble: 7 };
const WELCOME = ["accepted", "pinRequired", "pinIncorrect", "hostFull", "versionMismatch"];
const LT_BUTTON = 6, RT_BUTTON = 7;
// An unchanged state is repeated after 80 ms, checked every 20 ms: never more than 100 ms apart.
const KEEPALIVE_MS = 80;
const $ = (selector) => document.querySelector(selector);

// Identity: the device id and secret stay in this browser, so the next visit is trusted.
function storedBytes(key) {
  const text = localStorage.getItem(key);
  if (text && /^[0-9a-f]{32}$/.test(text)) {
    return Uint8Array.from(text.match(/../g), (h) => parseInt(h, 16));
  }
  const bytes = crypto.getRandomValues(new Uint8Array(16));
  bytes[6] = (bytes[6] & 0x0f) | 0x40; // a version 4 UUID
  bytes[8] = (bytes[8] & 0x3f) | 0x80;
  localStorage.setItem(key, Array.from(bytes, (b) => b.toString(16).padStart(2, "0")).join(""));
  return bytes;
}
const device = storedBytes("jolto.device");
const secret = storedBytes("jolto.secret");

function deviceName() {
  const ua = navigator.userAgent;
  const kind = /iPhone/.test(ua) ? "iPhone" : /iPad/.test(ua) ? "iPad" : /Android/.test(ua) ? "Android" : "";
  return kind ? `Browser on ${kind}` : "Browser";
}

// Wire format: "ZEVC", version, type, little-endian body.
function packet(type, bodyLength, fill) {
  const buffer = new ArrayBuffer(6 + bodyLength);
  const view = new DataView(buffer);
  [0x5a, 0x45, 0x56, 0x43, VERSION, type].forEach((b, i) => view.setUint8(i, b));
  fill(view, new Uint8Array(buffer));
  return buffer;
}
function helloPacket(pin) {
  const name = new TextEncoder().encode(deviceName()).slice(0, 64);
  return packet(T.hello, 16 + 16 + 2 + 1 + name.length, (view, bytes) => {
    bytes.set(device, 6);
    bytes.set(secret, 22);
    view.setUint16(38, pin === null ? 0xffff : pin, true);
    view.setUint8(40, name.length);
    bytes.set(name, 41);
  });
}
const axis = (v) => Math.max(-32767, Math.min(32767, Math.round(v * 32767)));
const level = (v) => Math.max(0, Math.min(255, Math.round(v * 255)));
const gyroAxis = (v) => Math.max(-32767, Math.min(32767, Math.round(v * 1000)));
function statePacket() {
  const withGyro = gyro.x !== 0 || gyro.y !== 0;
  return packet(T.state, 22 + (withGyro ? 4 : 0), (view) => {
    view.setUint32(6, session, true);
    view.setUint32(10, ++sequence >>> 0, true);
    view.setUint32(14, buttons(), true);
    [sticks.left.x, sticks.left.y, sticks.right.x, sticks.right.y].forEach((v, i) =>
      view.setInt16(18 + 2 * i, axis(v), true));
    view.setUint8(26, level(triggers.left));
    view.setUint8(27, level(triggers.right));
    if (withGyro) {
      view.setInt16(28, gyroAxis(gyro.x), true);
      view.setInt16(30, gyroAxis(gyro.y), true);
    }
  });
}

// Controller state
const held = new Set();
const sticks = { left: { x: 0, y: 0 }, right: { x: 0, y: 0 } };
const triggers = { left: 0, right: 0 };
const gyro = { x: 0, y: 0 };
function buttons() {
  let word = 0;
  held.forEach((b) => { word |= 1 << b; });
  if (triggers.left > 0.5) word |= 1 << LT_BUTTON;
  if (triggers.right > 0.5) word |= 1 << RT_BUTTON;
  return word >>> 0;
}

// Connection
let socket = null, session = 0, sequence = 0, lastSent = 0, retryDelay = 500, lastState = "";
let hostName = "the computer", player = 0;
function setStatus(text, ok = false) {
  const status = $("#status");
  status.textContent = text;
  status.classList.toggle("ok", ok);
}
function send(buffer) {
  if (socket && socket.readyState === WebSocket.OPEN) socket.send(buffer);
}
function connect() {
  const scheme = location.protocol === "https:" ? "wss://" : "ws://";
  socket = new WebSocket(scheme + location.host + "/ws");
  socket.binaryType = "arraybuffer";
  socket.onopen = () => { retryDelay = 500; send(helloPacket(null)); };
  socket.onmessage = (event) => { if (event.data instanceof ArrayBuffer) receive(new DataView(event.data)); };
  socket.onclose = () => {
    session = 0;
    socket = null;
    setStatus("Connection lost. Reconnecting…");
    setTimeout(connect, retryDelay);
    retryDelay = Math.min(retryDelay * 2, 5000);
  };
}
function readString(view, at) {
  const length = view.getUint8(at);
  return new TextDecoder().decode(new Uint8Array(view.buffer, at + 1, Math.min(length, view.byteLength - at - 1)));
}
function receive(view) {
  if (view.byteLength < 6 || view.getUint32(0) !== 0x5a455643) return;
  const type = view.getUint8(5);
  if (type === T.welcome && view.byteLength >= 13) {
    const status = WELCOME[view.getUint8(6)];
    hostName = readString(view, 12) || hostName;
    $("#host-name").textContent = hostName;
    if (status === "accepted") {
      session = view.getUint32(7, true);
      sequence = 0;
      closePairing();
      player = view.getUint8(11);
      setStatus(`Player ${player} on ${hostName}`, true);
      sendState(true);
    } else if (status === "pinRequired" || status === "pinIncorrect") {
      openPairing(status === "pinIncorrect");
      setStatus(`Not paired with ${hostName}`);
    } else if (status === "hostFull") {
      setStatus(`${hostName} already has four players.`);
    } else {
      setStatus("This page doesn't match JOLTO Host. Reload it.");
    }
  } else if (type === T.pong && view.byteLength >= 14) {
    const rtt = performance.now() - Number(view.getBigUint64(6, true)) / 1000;
    if (session && rtt >= 0 && rtt < 10000) setStatus(`Player ${player} on ${hostName} · ${Math.round(rtt)} ms`, true);
  } else if (type === T.goodbye && view.byteLength >= 10 && view.getUint32(6, true) === session) {
    session = 0;
    // The host closes the connection after this; the next one asks for a PIN.
    setStatus(`${hostName} let this browser go.`);
  } else if (type === T.rumble && view.byteLength >= 14 && view.getUint32(6, true) === session) {
    rumble(view.getUint8(10) / 255, view.getUint8(11) / 255, view.getUint16(12, true));
  }
}
function sendState(force = false) {
  if (!session) return;
  const now = performance.now();
  const key = JSON.stringify([buttons(), sticks, triggers, gyro]);
  if (!force && key === lastState && now - lastSent < KEEPALIVE_MS) return;
  lastState = key;
  lastSent = now;
  send(statePacket());
}
setInterval(() => sendState(), 20);
setInterval(() => {
  if (!session) return;
  const micros = BigInt(Math.round(performance.now() * 1000));
  send(packet(T.ping, 12, (view) => { view.setUint32(6, session, true); view.setBigUint64(10, micros, true); }));
}, 2000);

// Rumble: the Vibration API has no strength, so the stronger motor's level becomes the share
// of each 40 ms slot the motor is on.
let vibrationStep = 0, vibrationEnds = 0;
function rumble(low, high, durationMS) {
  if (!navigator.vibrate || !(navigator.userActivation?.hasBeenActive ?? true)) return;
  const step = Math.round(Math.max(low, high) * 8);
  const now = performance.now();
  if (step === 0) {
    if (vibrationStep !== 0) navigator.vibrate(0);
    vibrationStep = 0;
    return;
  }
  if (step === vibrationStep && now < vibrationEnds - 80) return;
  const on = step * 5, off = 40 - on, length = Math.max(durationMS, 200) + 100;
  const pattern = [];
  for (let t = 0; t < length; t += 40) pattern.push(on, off);
  navigator.vibrate(off > 0 ? pattern : [length]);
  vibrationStep = step;
  vibrationEnds = now + length;
}

// Touch: every control follows its own pointers, so sticks, triggers and buttons work at once.
function track(element, onMove, onEnd) {
  const pointers = new Set();
  element.addEventListener("pointerdown", (e) => {
    e.preventDefault();
    element.setPointerCapture(e.pointerId);
    pointers.add(e.pointerId);
    onMove(e);
  });
  element.addEventListener("pointermove", (e) => { if (pointers.has(e.pointerId)) onMove(e); });
  const end = (e) => {
    if (!pointers.delete(e.pointerId)) return;
    if (pointers.size === 0) onEnd(e);
  };
  element.addEventListener("pointerup", end);
  element.addEventListener("pointercancel", end);
  element.addEventListener("lostpointercapture", end);
}
document.querySelectorAll(".pad[data-button]").forEach((element) => {
  const button = Number(element.dataset.button);
  track(element, () => { held.add(button); element.classList.add("on"); sendState(); },
    () => { held.delete(button); element.classList.remove("on"); sendState(); });
});
document.querySelectorAll(".stick").forEach((element) => {
  const stick = sticks[element.dataset.stick];
  const knob = element.querySelector(".knob");
  const button = Number(element.dataset.button);
  let lastTap = 0;
  const place = () => { knob.style.transform = `translate(${stick.x * 60}%, ${-stick.y * 60}%)`; };
  element.addEventListener("pointerdown", () => {
    // A double tap clicks the stick in for as long as the second touch stays.
    const now = performance.now();
    if (now - lastTap < 300) held.add(button);
    lastTap = now;
  });
  track(element, (e) => {
    const box = element.getBoundingClientRect();
    const radius = box.width / 2;
    let x = (e.clientX - box.left - radius) / (radius * 0.8);
    let y = -(e.clientY - box.top - radius) / (radius * 0.8);
    const length = Math.hypot(x, y);
    if (length > 1) { x /= length; y /= length; }
    stick.x = x; stick.y = y;
    element.classList.add("on");
    place();
    sendState();
  }, () => {
    stick.x = 0; stick.y = 0;
    held.delete(button);
    element.classList.remove("on");
    place();
    sendState();
  });
});
document.querySelectorAll(".trigger").forEach((element) => {
  const side = element.dataset.trigger;
  const fill = element.querySelector(".fill");
  // Touching near the top is a light pull, near the bottom a full one.
  const show = () => { fill.style.height = `${triggers[side] * 100}%`; };
  track(element, (e) => {
    const box = element.getBoundingClientRect();
    const depth = Math.max(0, Math.min(1, (e.clientY - box.top) / box.height));
    triggers[side] = 0.25 + 0.75 * depth;
    show();
    sendState();
  }, () => { triggers[side] = 0; show(); sendState(); });
});

// Pairing
let digits = "";
function showDigits() {
  $("#pin-digits").textContent = digits.padEnd(4, "·");
  $("#pin-ok").disabled = digits.length !== 4;
}
function openPairing(wrong) {
  const message = $("#pin-message");
  message.textContent = wrong
    ? "That PIN didn't work, or pairing is paused after wrong tries. Check the PIN and try again."
    : "Enter the four-digit PIN shown in JOLTO Host.";
  message.classList.toggle("error", wrong);
  digits = "";
  showDigits();
  const dialog = $("#pairing");
  if (!dialog.open) dialog.showModal();
}
function closePairing() {
  const dialog = $("#pairing");
  if (dialog.open) dialog.close();
}
$("#keypad").addEventListener("click", (e) => {
  const value = e.target.closest("button")?.value;
  if (!value) return;
  if (value === "back") digits = digits.slice(0, -1);
  else if (value === "ok") { if (digits.length === 4) send(helloPacket(Number(digits))); return; }
  else if (digits.length < 4) digits += value;
  showDigits();
});
document.addEventListener("keydown", (e) => {
  if (!$("#pairing").open) return;
  if (/^[0-9]$/.test(e.key) && digits.length < 4) digits += e.key;
  else if (e.key === "Backspace") digits = digits.slice(0, -1);
  else if (e.key === "Enter" && digits.length === 4) send(helloPacket(Number(digits)));
  else return;
  e.preventDefault();
  showDigits();
});
$("#pairing").addEventListener("cancel", (e) => e.preventDefault());

// Gyro aim from the rotation rate, turned into the screen's frame: turning the phone left and
// right aims sideways, tilting it aims up and down (radians per second).
const gyroButton = $("#gyro");
let gyroOn = false;
function onMotion(e) {
  const r = e.rotationRate;
  if (!gyroOn || !r) return;
  const angle = ((screen.orientation?.angle ?? window.orientation ?? 0) * Math.PI) / 180;
  const beta = ((r.beta ?? 0) * Math.PI) / 180, gamma = ((r.gamma ?? 0) * Math.PI) / 180;
  const c = Math.cos(angle), s = Math.sin(angle);
  gyro.x = -(gamma * c - beta * s);
  gyro.y = beta * c + gamma * s;
  sendState();
}
if (!window.isSecureContext || typeof DeviceMotionEvent === "undefined") {
  gyroButton.disabled = true;
  const notice = $("#notice");
  notice.hidden = false;
  notice.textContent = window.isSecureContext
    ? "Gyro aim isn't available: this browser has no motion sensors."
    : "Gyro aim isn't available: browsers give motion sensors only to secure (https) pages. Everything else works.";
} else {
  gyroButton.addEventListener("click", async () => {
    if (!gyroOn && typeof DeviceMotionEvent.requestPermission === "function") {
      try {
        if ((await DeviceMotionEvent.requestPermission()) !== "granted") return;
      } catch { return; }
    }
    gyroOn = !gyroOn;
    gyroButton.setAttribute("aria-pressed", String(gyroOn));
    if (!gyroOn) { gyro.x = 0; gyro.y = 0; sendState(); }
  });
  window.addEventListener("devicemotion", onMotion);
}

// Fullscreen and a screen that stays on, from the first tap (both need a user gesture).
let wakeLock = null;
async function keepAwake() {
  try {
    if (navigator.wakeLock && !wakeLock) {
      wakeLock = await navigator.wakeLock.request("screen");
      wakeLock.addEventListener("release", () => { wakeLock = null; });
    }
  } catch { /* refused: the screen may dim */ }
}
document.addEventListener("pointerdown", async () => {
  keepAwake();
  if (document.fullscreenElement || !document.documentElement.requestFullscreen) return;
  try {
    await document.documentElement.requestFullscreen({ navigationUI: "hide" });
    await screen.orientation?.lock?.("landscape");
  } catch { /* not allowed here */ }
}, { capture: true });
document.addEventListener("visibilitychange", () => { if (document.visibilityState === "visible") keepAwake(); });

showDigits();
connect();
