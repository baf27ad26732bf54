// The preview page: shows the frame the server renders, and drives the
// timeline, the sliders, the sound and the export through the server's API.
'use strict';

const $ = (id) => document.getElementById(id);

const state = {
  project: null,
  fps: 30,
  frame: 0,
  values: [],
  playing: false,
  playStart: 0,
  playFrom: 0,
  framesShown: 0,
};

// ---- frames: at most one request in flight; the newest wish wins ------------

const view = { wanted: 0, dirty: false, busy: false, lastUrl: '' };

function requestFrame() {
  view.wanted = state.frame;
  view.dirty = true;
  pumpFrames();
}

async function pumpFrames() {
  if (view.busy || !view.dirty) return;
  view.busy = true;
  view.dirty = false;
  const n = view.wanted;
  try {
    const reply = await fetch(`/frame/${n}.png`);
    if (reply.ok) {
      const url = URL.createObjectURL(await reply.blob());
      const img = $('frame');
      img.src = url;
      await img.decode().catch(() => {});
      if (view.lastUrl) URL.revokeObjectURL(view.lastUrl);
      view.lastUrl = url;
      state.framesShown += 1;
      img.dataset.frame = String(n);
      document.body.dataset.framesShown = String(state.framesShown);
      say('');
    } else if (reply.status !== 409) {
      say(await errorText(reply));
    }
  } catch (e) {
    say('The preview server does not answer.');
  }
  view.busy = false;
  pumpFrames();
}

async function errorText(reply) {
  try {
    return (await reply.json()).error || reply.statusText;
  } catch (e) {
    return `${reply.status} ${reply.statusText}`;
  }
}

function say(text) {
  $('message').textContent = text;
}

// ---- timeline and transport -------------------------------------------------

function frameCount() {
  return state.project ? state.project.frame_count : 0;
}

function formatTime(frame) {
  const seconds = state.fps > 0 ? frame / state.fps : 0;
  const minutes = Math.floor(seconds / 60);
  const rest = seconds - minutes * 60;
  return `${minutes}:${rest.toFixed(2).padStart(5, '0')}`;
}

function setFrame(n) {
  const last = Math.max(0, frameCount() - 1);
  n = Math.min(Math.max(0, Math.round(n)), last);
  state.frame = n;
  $('timeline').value = String(n);
  $('frame-number').textContent = String(n);
  $('time').textContent = formatTime(n);
  requestFrame();
}

function step(delta) {
  stopPlaying();
  setFrame(state.frame + delta);
}

function tick(now) {
  if (!state.playing) return;
  const n = state.playFrom + Math.floor(((now - state.playStart) / 1000) * state.fps);
  if (n >= frameCount()) {
    setFrame(frameCount() - 1);
    stopPlaying();
    return;
  }
  // Rendering slower than the rate skips frames: only the current one is asked for.
  if (n !== state.frame) setFrame(n);
  requestAnimationFrame(tick);
}

function startPlaying() {
  if (state.frame >= frameCount() - 1) setFrame(0);
  state.playing = true;
  state.playFrom = state.frame;
  state.playStart = performance.now();
  $('play').classList.add('on');
  requestAnimationFrame(tick);
}

function stopPlaying() {
  state.playing = false;
  $('play').classList.remove('on');
}

// ---- sliders ----------------------------------------------------------------

const sliderSend = { busy: false, dirty: false };

async function sendSliders() {
  if (sliderSend.busy) {
    sliderSend.dirty = true;
    return;
  }
  sliderSend.busy = true;
  sliderSend.dirty = false;
  try {
    const reply = await fetch('/api/sliders', {
      method: 'PUT',
      headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify({ values: state.values }),
    });
    if (!reply.ok) say(await errorText(reply));
  } catch (e) {
    say('The preview server does not answer.');
  }
  sliderSend.busy = false;
  if (sliderSend.dirty) {
    sendSliders();
  } else {
    requestFrame();
  }
}

function buildSliders(project) {
  const box = $('sliders');
  box.textContent = '';
  const display = $('display');
  display.textContent = '';
  for (const s of project.sliders) {
    if (s.index === 0) {
      $('display-name').textContent = s.name;
      for (let v = s.min; v <= s.max; v++) {
        const option = document.createElement('option');
        option.value = String(v);
        option.textContent = v === 0 ? '0 (as the script leaves it)' : `buffer ${v}`;
        display.appendChild(option);
      }
      display.value = String(s.value);
      display.title = `default ${s.default}, ${s.min}..${s.max}`;
      display.onchange = () => {
        state.values[0] = Number(display.value);
        sendSliders();
      };
      continue;
    }
    const row = document.createElement('label');
    row.className = 'slider';
    row.title = `default ${s.default}, ${s.min}..${s.max} (double-click: default)`;
    const name = document.createElement('span');
    name.className = 'name';
    name.textContent = s.name;
    const input = document.createElement('input');
    input.type = 'range';
    input.min = String(s.min);
    input.max = String(s.max);
    input.value = String(s.value);
    input.id = `slider-${s.index}`;
    const value = document.createElement('span');
    value.className = 'value';
    value.textContent = String(s.value);
    input.oninput = () => {
      state.values[s.index] = Number(input.value);
      value.textContent = input.value;
      sendSliders();
    };
    input.ondblclick = () => {
      input.value = String(s.default);
      input.oninput();
    };
    row.append(name, input, value);
    box.appendChild(row);
  }
}

function showSliderValues(values) {
  state.values = values.slice();
  $('display').value = String(values[0]);
  for (let i = 1; i < values.length; i++) {
    const input = $(`slider-${i}`);
    if (!input) continue;
    input.value = String(values[i]);
    input.parentElement.querySelector('.value').textContent = String(values[i]);
  }
}

// ---- project facts, script, findings ----------------------------------------

// The facts a script's numbers depend on: the frame size (w, h) and the
// frame rate, so that "one second" can be written in frames.
function showProjectInfo(project) {
  const fps = project.fps || 0;
  const rate = Number.isInteger(fps) ? String(fps) : fps.toFixed(3);
  $('project-info').textContent = `${project.width} \u00d7 ${project.height}, ` +
    `${rate} frames per second (one second is ${Math.round(fps)} frames), ` +
    `${project.frame_count} frames`;
}

function showScript(project) {
  $('source').textContent = project.source;
  $('script').textContent = project.script;
  showProjectInfo(project);
  const loaded = $('loaded');
  if (!project.script_exists) {
    loaded.textContent = 'No kinetra.txt yet: frames pass through unchanged.';
  } else if (project.loaded_at) {
    const when = new Date(project.loaded_at).toLocaleTimeString();
    loaded.textContent = `Loaded by the plug-in at ${when}` +
      (project.load_count > 1 ? ` (load ${project.load_count})` : '');
  } else {
    loaded.textContent = 'Not loaded yet.';
  }
  const list = $('findings');
  list.textContent = '';
  const findings = project.findings || [];
  const failures = project.failures || [];
  if (project.findings_checked && findings.length === 0 && failures.length === 0) {
    const item = document.createElement('li');
    item.className = 'none';
    item.textContent = 'No findings.';
    list.appendChild(item);
  }
  for (const f of findings) {
    const item = document.createElement('li');
    const line = document.createElement('span');
    line.className = 'line';
    line.textContent = f.line ? `line ${f.line}` : '';
    const text = document.createElement('span');
    text.className = f.severity === 'error' ? 'error' : 'warning';
    text.textContent = f.message;
    item.append(line, text);
    list.appendChild(item);
  }
  // What the plug-in reported while running the script: the first failure
  // of each line, with the frame it happened on.
  for (const f of failures) {
    const item = document.createElement('li');
    const where = document.createElement('span');
    where.className = 'line';
    where.textContent = (f.line ? `line ${f.line}, ` : '') + `frame ${f.frame}`;
    const text = document.createElement('span');
    text.className = 'error';
    text.textContent = f.message;
    item.append(where, text);
    list.appendChild(item);
  }
}

async function loadProject(first) {
  const reply = await fetch('/api/project');
  if (!reply.ok) {
    say(await errorText(reply));
    return;
  }
  const project = await reply.json();
  const grew = !state.project || state.project.frame_count !== project.frame_count;
  state.project = project;
  state.fps = project.fps || 30;
  $('timeline').max = String(Math.max(0, project.frame_count - 1));
  $('frame-total').textContent = String(project.frame_count);
  showScript(project);
  showExport(project.export);
  if (first) {
    buildSliders(project);
    state.values = project.sliders.map((s) => s.value);
    document.title = `Kinetra preview: ${project.source.split('/').pop()}`;
    setFrame(0);
  } else if (grew) {
    setFrame(state.frame);
  }
}

// ---- sound ------------------------------------------------------------------

let sound = null;

async function playSound() {
  const count = Math.max(1, Math.min(Math.round(state.fps * 3) + 1, frameCount() - state.frame));
  try {
    const reply = await fetch(`/audio/${state.frame}.wav?frames=${count}`);
    if (!reply.ok) {
      say(await errorText(reply));
      return;
    }
    const url = URL.createObjectURL(await reply.blob());
    if (sound) {
      sound.pause();
      URL.revokeObjectURL(sound.src);
    }
    sound = new Audio(url);
    await sound.play();
  } catch (e) {
    say(`The sound cannot be played: ${e.message}`);
  }
}

// ---- export -----------------------------------------------------------------

function showExport(status) {
  if (!status) return;
  const bar = $('export-progress');
  const text = $('export-status');
  const button = $('export');
  text.className = `export-status ${status.state}`;
  button.disabled = status.state === 'running';
  $('export-cancel').hidden = status.state !== 'running';
  if (status.state === 'idle') {
    bar.hidden = true;
    text.textContent = '';
    return;
  }
  bar.hidden = false;
  bar.max = Math.max(1, status.total);
  bar.value = status.state === 'done' ? bar.max : status.done;
  if (status.state === 'running') {
    text.textContent = `Writing ${status.output}: ${status.done} / ${status.total} frames`;
  } else if (status.state === 'done') {
    text.textContent = `Written: ${status.output}`;
  } else if (status.state === 'cancelled') {
    text.textContent = `Cancelled after ${status.done} frames (kept as a .partial file next to ${status.output})`;
  } else {
    text.textContent = `Export failed: ${status.message || 'unknown reason'}`;
  }
}

async function startExport() {
  $('export').disabled = true;
  try {
    const reply = await fetch('/api/export', { method: 'POST' });
    if (!reply.ok) {
      say(await errorText(reply));
      $('export').disabled = false;
      return;
    }
    showExport(await reply.json());
  } catch (e) {
    say('The preview server does not answer.');
    $('export').disabled = false;
  }
}

async function cancelExport() {
  try {
    const reply = await fetch('/api/export', { method: 'DELETE' });
    if (!reply.ok) say(await errorText(reply));
  } catch (e) {
    say('The preview server does not answer.');
  }
}

// ---- change notifications ---------------------------------------------------

function listen() {
  const events = new EventSource('/api/events');
  const badge = $('connection');
  events.onopen = () => {
    badge.textContent = 'following kinetra.txt';
    badge.className = 'badge live';
  };
  events.onerror = () => {
    badge.textContent = 'disconnected';
    badge.className = 'badge lost';
  };
  // The script was saved: render the frame again (the plug-in's own reload
  // rule decides whether the new script applies to it yet).
  events.addEventListener('script', () => requestFrame());
  events.addEventListener('project', () => loadProject(false));
  events.addEventListener('sliders', (e) => {
    const values = JSON.parse(e.data).values;
    if (sliderSend.busy || JSON.stringify(values) === JSON.stringify(state.values)) return;
    showSliderValues(values);
    requestFrame();
  });
  events.addEventListener('export', (e) => showExport(JSON.parse(e.data)));
}

// ---- start ------------------------------------------------------------------

function bind() {
  $('first').onclick = () => step(-Infinity);
  $('last').onclick = () => step(Infinity);
  $('back').onclick = () => step(-1);
  $('forward').onclick = () => step(1);
  $('play').onclick = () => (state.playing ? stopPlaying() : startPlaying());
  $('timeline').oninput = () => {
    stopPlaying();
    setFrame(Number($('timeline').value));
  };
  $('sound').onclick = playSound;
  $('export').onclick = startExport;
  $('export-cancel').onclick = cancelExport;
  document.addEventListener('keydown', (e) => {
    if (e.target instanceof HTMLInputElement && e.target.type !== 'range') return;
    if (e.target instanceof HTMLSelectElement) return;
    const keys = {
      ArrowLeft: () => step(-1),
      ArrowRight: () => step(1),
      Home: () => step(-Infinity),
      End: () => step(Infinity),
      ' ': () => (state.playing ? stopPlaying() : startPlaying()),
    };
    if (keys[e.key] && !(e.target instanceof HTMLInputElement && e.key.startsWith('Arrow'))) {
      e.preventDefault();
      keys[e.key]();
    }
  });
}

bind();
listen();
loadProject(true);
