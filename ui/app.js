// cvsim ui: draws the machine's open windows from the dialog layer's state and sends what a person does
// back as the dialog layer's input. No framework: the page is redrawn from each new state.
"use strict";

const screen = document.getElementById("screen");
const errorLine = document.getElementById("error");
let lastWindows = "";
let currentView = "eventlog";
let errorTimer = null;

function showError(message) {
  errorLine.textContent = message;
  clearTimeout(errorTimer);
  errorTimer = setTimeout(() => { errorLine.textContent = ""; }, 8000);
}

async function call(method, path, body) {
  try {
    const response = await fetch(path, {
      method,
      headers: body ? { "Content-Type": "application/json" } : {},
      body: body ? JSON.stringify(body) : undefined,
    });
    const answer = await response.json().catch(() => ({ error: "the machine gave no answer" }));
    if (!response.ok) {
      showError(answer.error || "the request failed");
      return null;
    }
    return answer;
  } catch (e) {
    showError("the machine cannot be reached: " + e.message);
    return null;
  }
}

// A control's text as a person reads it: "&Settings..." shows as "Settings...".
function plain(text) {
  return (text || "").replace(/&&/g, "\u0001").replace(/&/g, "").replace(/\u0001/g, "&");
}

function el(tag, className, text) {
  const e = document.createElement(tag);
  if (className) e.className = className;
  if (text !== undefined) e.textContent = text;
  return e;
}

function place(e, c) {
  e.style.left = c.x + "px";
  e.style.top = c.y + "px";
  e.style.width = c.w + "px";
  e.style.height = c.ht + "px";
}

async function act(win, control, action, value) {
  const body = { window: win.h, action };
  if (control) body.control = control.h;
  if (value !== undefined) body.value = value;
  const state = await call("POST", "/api/act", body);
  if (state) render(state, true);
}

// A list's bitmap strip with its mask colour made transparent, as the list draws it; the plain bitmap
// until that is ready.
const strips = new Map();
function stripUrl(strip) {
  const url = "/api/bitmap/" + strip.bitmap;
  const key = url + "/" + strip.mask;
  if (strips.has(key)) return strips.get(key);
  strips.set(key, url);
  const image = new Image();
  image.onload = () => {
    const canvas = document.createElement("canvas");
    canvas.width = image.width;
    canvas.height = image.height;
    const g = canvas.getContext("2d");
    g.drawImage(image, 0, 0);
    const pixels = g.getImageData(0, 0, canvas.width, canvas.height);
    const [r, gr, b] = [strip.mask & 0xff, (strip.mask >> 8) & 0xff, (strip.mask >> 16) & 0xff]; // COLORREF
    for (let i = 0; i < pixels.data.length; i += 4)
      if (pixels.data[i] === r && pixels.data[i + 1] === gr && pixels.data[i + 2] === b) pixels.data[i + 3] = 0;
    g.putImageData(pixels, 0, 0);
    strips.set(key, canvas.toDataURL());
    lastWindows = ""; // redraw with it
  };
  image.src = url;
  return url;
}

function drawControl(win, c, parent) {
  let e;
  switch (c.kind) {
    case "button":
      e = el("button", "ctl" + (c.default ? " default" : ""), plain(c.text));
      // A disabled button takes no click; Ctrl+click sends its command as a test tool does.
      e.addEventListener("click", (ev) => {
        if (c.enabled) act(win, c, "click");
        else if (ev.ctrlKey) act(win, c, "command");
      });
      if (!c.enabled) {
        e.title = "Ctrl+click sends its command as a test tool does";
        e.setAttribute("aria-disabled", "true");
      }
      break;
    case "checkbox":
    case "radio": {
      e = el("label", "ctl");
      const box = el("input");
      box.type = c.kind;
      box.checked = c.check === 1;
      box.disabled = !c.enabled;
      box.addEventListener("click", (ev) => { ev.preventDefault(); act(win, c, "click"); });
      e.append(box, plain(c.text));
      break;
    }
    case "group":
      e = el("div", "ctl group");
      if (c.text) e.append(el("span", "label", plain(c.text)));
      break;
    case "icon":
      e = el("div", "ctl icon");
      if (c.image) {
        const img = el("img");
        img.src = "/api/image/" + c.h;
        img.alt = "";
        e.append(img);
      } else {
        e.append(el("div", "glyph " + c.text, { stop: "X", question: "?", exclamation: "!", information: "i" }[c.text] || ""));
      }
      break;
    case "edit":
      e = el("input", "ctl");
      e.value = c.text;
      e.disabled = !c.enabled;
      e.addEventListener("change", () => act(win, c, "type", e.value));
      break;
    case "combo":
    case "list": {
      e = el("select", "ctl");
      if (c.kind === "list") e.size = Math.max(2, Math.floor(c.ht / 13));
      (c.items || []).forEach((text, i) => {
        const o = el("option", "", text);
        o.value = i;
        o.selected = i === c.selection;
        e.append(o);
      });
      if (c.selection < 0) e.selectedIndex = -1;
      e.disabled = !c.enabled;
      e.addEventListener("change", () => act(win, c, "choose", Number(e.value)));
      break;
    }
    case "listview": {
      e = el("div", "ctl listview");
      const table = el("table");
      const head = el("tr");
      (c.columns || []).forEach((col) => {
        const th = el("th", "", col.header);
        th.style.width = col.width + "px";
        head.append(th);
      });
      table.append(head);
      (c.rows || []).forEach((row, i) => {
        const tr = el("tr", row.selected ? "selected" : "");
        row.texts.forEach((text, k) => {
          const td = el("td");
          if (k === 0 && row.strip) {
            // The row's image: its piece of the list's bitmap strip.
            const img = el("span", "img");
            img.style.width = row.strip.cx + "px";
            img.style.height = row.strip.cy + "px";
            img.style.background = `url(${stripUrl(row.strip)}) -${row.strip.x}px 0`;
            td.append(img);
          } else if (k === 0 && row.image >= 0) {
            td.append(el("span", "img placeholder"));
          }
          td.append(text);
          tr.append(td);
        });
        tr.addEventListener("click", () => act(win, c, "select-row", i));
        tr.addEventListener("dblclick", () => act(win, c, "open-row", i));
        table.append(tr);
      });
      e.append(table);
      break;
    }
    case "slider":
      e = el("input", "ctl");
      e.type = "range";
      e.min = c.range.min;
      e.max = c.range.max;
      e.value = c.range.pos;
      e.disabled = !c.enabled;
      e.addEventListener("change", () => act(win, c, "slide", Number(e.value)));
      break;
    case "progress": {
      e = el("div", "ctl progress");
      const bar = el("div");
      const span = Math.max(1, c.range.max - c.range.min);
      bar.style.width = (100 * (c.range.pos - c.range.min)) / span + "%";
      e.append(bar);
      break;
    }
    case "tab":
      e = el("div", "tabs");
      (c.items || []).forEach((text, i) => {
        const b = el("button", i === c.selection ? "selected" : "", plain(text));
        b.setAttribute("role", "tab");
        b.addEventListener("click", () => act(win, c, "tab", i));
        e.append(b);
      });
      break;
    case "dialog":
      e = el("div", "ctl page");
      c.children.forEach((child) => drawControl(win, child, e));
      break;
    default:
      e = el("div", "ctl text", plain(c.text));
  }
  if (!c.enabled) {
    e.classList.add("disabled");
    if ("disabled" in e && c.kind !== "button") e.disabled = true;
  }
  e.dataset.h = c.h;
  e.dataset.id = c.id;
  e.dataset.kind = c.kind;
  place(e, c);
  if (c.kind === "tab") e.style.height = "";
  // A drop-down combo box's height includes its dropped list; closed it is one line high.
  if (c.kind === "combo") e.style.height = Math.min(c.ht, 21) + "px";
  parent.append(e);
}

// Windows cascade from the top left, each newer one a little further down and right, as dialogs open
// over their owners.
function drawWindow(win, index) {
  const frame = el("div", "window" + (win.active ? "" : " inactive"));
  frame.dataset.caption = win.text;
  frame.dataset.h = win.h;
  frame.setAttribute("role", "dialog");
  frame.setAttribute("aria-label", win.text);
  frame.style.left = Math.max(0, win.x) + 16 + 28 * index + "px";
  frame.style.top = Math.max(0, win.y) + 12 + 28 * index + "px";
  frame.style.zIndex = win.active ? 1000 : index + 1;
  const caption = el("div", "caption");
  caption.append(el("span", "title", win.text));
  const close = el("button", "close", "\u00d7");
  close.title = "Close";
  close.addEventListener("click", () => act(win, null, "close"));
  caption.append(close);
  caption.addEventListener("mousedown", () => { if (!win.active) act(win, null, "activate"); });
  const client = el("div", "client");
  client.style.width = win.w + "px";
  client.style.height = win.ht + "px";
  win.children.forEach((c) => drawControl(win, c, client));
  frame.append(caption, client);
  screen.append(frame);
}

function drawDesktop(state) {
  const items = document.getElementById("desktop-items");
  const key = JSON.stringify(state.devices || state.system);
  if (items.dataset.key === key) return;
  items.dataset.key = key;
  items.replaceChildren();
  if (!state.devices) {
    document.getElementById("desktop-title").textContent = "Control Panel";
    for (const [name, action, glyph] of [["Corvane Ports", "applet", "CV"], ["Corvane Cleanup", "cleanup", "CC"]]) {
      const s = el("div", "shortcut");
      s.tabIndex = 0;
      s.setAttribute("role", "button");
      s.setAttribute("aria-label", name);
      s.append(el("div", "glyph", glyph), el("div", "", name));
      s.addEventListener("dblclick", () => startProgram({ action }));
      s.addEventListener("keydown", (ev) => { if (ev.key === "Enter") startProgram({ action }); });
      items.append(s);
    }
    return;
  }
  document.getElementById("desktop-title").textContent = "Device Manager (by connection)";
  const tree = el("div", "tree");
  const list = (node) => {
    const li = el("li");
    const label = el("span", "", node.description);
    label.title = node.instance;
    li.append(label);
    if (node.service) {
      const b = el("button", "", "Properties");
      b.setAttribute("aria-label", "Properties of " + node.description);
      b.addEventListener("click", () => startProgram({ action: "properties", device: node.instance }));
      label.addEventListener("dblclick", () => startProgram({ action: "properties", device: node.instance }));
      li.append(b);
    }
    if (node.children.length) {
      const ul = el("ul");
      node.children.forEach((c) => ul.append(list(c)));
      li.append(ul);
    }
    return li;
  };
  const ul = el("ul");
  ul.append(list(state.devices));
  tree.append(ul);
  items.append(tree);
}

async function startProgram(body) {
  const state = await call("POST", "/api/desktop", body);
  if (state) render(state, true);
}

function render(state, force) {
  document.getElementById("system").textContent = state.system;
  document.getElementById("clock").textContent = "machine time " + state.time.toFixed(1) + " s";
  document.getElementById("program").textContent = state.program ? "running: " + state.program : "";
  drawDesktop(state);
  const windows = JSON.stringify(state.windows);
  const editing = document.activeElement && document.activeElement.matches("#screen input:not([type=range]):not([type=checkbox]):not([type=radio])");
  if (windows === lastWindows || (editing && !force)) return;
  lastWindows = windows;
  screen.replaceChildren();
  state.windows.forEach(drawWindow);
}

async function poll() {
  try {
    const state = await call("GET", "/api/state");
    if (state) render(state, false);
  } finally {
    setTimeout(poll, 300);
  }
}

// The views of the machine beside the windows. The ports view is updated in place, so that a
// terminal's input keeps its focus and what is being typed while the view refreshes; an answer that
// was asked for before the one already shown is dropped.
let portsAsked = 0;
let portsShown = 0;

function portBox(name) {
  const box = el("div", "port");
  box.dataset.port = name;
  const toggle = el("button");
  toggle.addEventListener("click", () => terminal({ port: name, action: box.dataset.open ? "close" : "open" }));
  const head = el("div");
  head.append(el("b", "", name + " "), toggle);
  const term = el("div", "terminal");
  const out = el("div", "screen");
  out.setAttribute("aria-label", "What arrived at " + name);
  const input = el("input");
  input.placeholder = "type and press Enter to send";
  input.dataset.port = name;
  input.setAttribute("aria-label", "Send on " + name);
  input.addEventListener("keydown", (ev) => {
    if (ev.key !== "Enter") return;
    const text = input.value;
    input.value = "";
    terminal({ port: name, action: "send", text });
  });
  term.append(el("div", "stats"), out, input);
  box.append(head, el("div", "line"), term);
  return box;
}

function updatePort(box, p) {
  box.dataset.open = p.open ? "1" : "";
  const toggle = box.querySelector("button");
  toggle.textContent = p.open ? "Close" : "Open terminal";
  toggle.setAttribute("aria-label", (p.open ? "Close " : "Open terminal on ") + p.port);
  const line = box.querySelector(".line");
  line.hidden = p.address === undefined;
  line.textContent = p.address === undefined ? "" :
    `UART at ${p.address}: ${p.lineSent} characters sent, ${p.lineReceived} received on its line`;
  const term = box.querySelector(".terminal");
  term.hidden = !p.open;
  if (!p.open) {
    term.querySelector("input").value = "";
    return;
  }
  term.querySelector(".stats").textContent =
    `received ${p.received}, transmitted ${p.transmitted}, frame errors ${p.frameErrors}, overruns ${p.overruns}, parity errors ${p.parityErrors}`;
  const out = term.querySelector(".screen");
  if (out.textContent !== p.text) out.textContent = p.text;
}

function drawPorts(ports, asked) {
  if (asked < portsShown) return;
  portsShown = asked;
  const view = document.getElementById("view");
  const boxes = new Map([...view.querySelectorAll(":scope > .port")].map((b) => [b.dataset.port, b]));
  if (view.firstElementChild && !view.firstElementChild.classList.contains("port")) view.replaceChildren();
  let previous = null;
  ports.forEach((p) => {
    let box = boxes.get(p.port);
    boxes.delete(p.port);
    if (!box) box = portBox(p.port);
    updatePort(box, p);
    // Insert only where the order changed: moving a focused input would take its focus away.
    const wanted = previous ? previous.nextElementSibling : view.firstElementChild;
    if (wanted !== box) view.insertBefore(box, wanted);
    previous = box;
  });
  boxes.forEach((b) => b.remove());
}

async function terminal(body) {
  const asked = ++portsAsked;
  const ports = await call("POST", "/api/terminal", body);
  if (Array.isArray(ports) && currentView === "ports") drawPorts(ports, asked);
}

async function refreshView() {
  const asked = currentView;
  const order = ++portsAsked;
  const answer = await call("GET", "/api/view/" + asked);
  if (!answer || asked !== currentView) return; // another view was chosen meanwhile
  if (asked === "ports") return drawPorts(answer, order);
  const view = document.getElementById("view");
  const pre = el("pre", "", answer.text || "(empty)");
  view.replaceChildren(pre);
}

document.querySelectorAll("#view-tabs button").forEach((b) => {
  b.addEventListener("click", () => {
    document.querySelectorAll("#view-tabs button").forEach((x) => x.classList.remove("selected"));
    b.classList.add("selected");
    currentView = b.dataset.view;
    refreshView();
  });
});

async function viewLoop() {
  try {
    await refreshView();
  } finally {
    setTimeout(viewLoop, 700);
  }
}

poll();
viewLoop();
