// The home screen page: renders what the home screen pushes as server-sent events and sends a person's
// taps back as small JSON posts. Texts from the bus are only ever set as text; an item's HTML body
// goes through sanitize(), which rebuilds it from a short list of harmless tags.
'use strict';

const state = { feed: [], notifications: [], contacts: [], activity: [], view: 'home' };
const $ = (id) => document.getElementById(id);
let firstFullRender = null;

// Tags kept from an item's body; everything else is dropped (with its contents for the dangerous
// ones) or replaced by its text. No attribute is copied except a checked web address of a link.
const KEPT_TAGS = new Set(['B', 'I', 'EM', 'STRONG', 'U', 'S', 'BR', 'P', 'SPAN', 'A', 'UL', 'OL', 'LI',
  'SMALL', 'SUB', 'SUP', 'BLOCKQUOTE', 'CODE', 'PRE']);
const DROPPED_TAGS = new Set(['SCRIPT', 'STYLE', 'TEMPLATE', 'IFRAME', 'OBJECT', 'EMBED', 'NOSCRIPT', 'SVG',
  'MATH', 'TEXTAREA', 'TITLE', 'HEAD', 'LINK', 'META', 'FORM', 'SELECT', 'VIDEO', 'AUDIO']);
const MAX_DEPTH = 16;

function copySafe(from, to, depth) {
  for (const node of from.childNodes) {
    if (node.nodeType === Node.TEXT_NODE) {
      to.append(node.data);
    } else if (node.nodeType === Node.ELEMENT_NODE) {
      const tag = node.tagName.toUpperCase();
      if (DROPPED_TAGS.has(tag)) continue;
      if (!KEPT_TAGS.has(tag) || depth >= MAX_DEPTH) {
        copySafe(node, to, depth + 1);
        continue;
      }
      const element = document.createElement(tag.toLowerCase());
      if (tag === 'A') {
        const href = (node.getAttribute('href') || '').trim();
        if (/^https?:\/\//i.test(href)) {
          element.setAttribute('href', href);
          element.setAttribute('rel', 'noopener noreferrer');
          element.setAttribute('target', '_blank');
        }
      }
      copySafe(node, element, depth + 1);
      to.append(element);
    }
  }
}

// A fragment built from html with the kept tags only. DOMParser's document is inert: nothing in it
// runs or loads.
function sanitize(html) {
  const parsed = new DOMParser().parseFromString(String(html), 'text/html');
  const fragment = document.createDocumentFragment();
  copySafe(parsed.body, fragment, 0);
  return fragment;
}

function element(tag, className, text) {
  const e = document.createElement(tag);
  if (className) e.className = className;
  if (text !== undefined && text !== null) e.textContent = String(text);
  return e;
}

function say(text) {
  $('message').textContent = text;
}

async function act(action, args) {
  try {
    const response = await fetch('action/' + action, {
      method: 'POST',
      headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify(args || {}),
    });
    const answer = await response.json().catch(() => ({}));
    say(response.ok ? action + ': done' : action + ': ' + (answer.error || response.status));
  } catch (error) {
    say(action + ': ' + error);
  }
}

// Feed items are built once per content and reused: a picture is not fetched again when another item
// changes.
const itemCache = new Map();

function feedItem(item) {
  const key = JSON.stringify(item);
  const cached = itemCache.get(item.id);
  if (cached && cached.key === key) return cached.node;
  const li = element('li', 'item');
  li.dataset.id = item.id;
  const icon = element('img', 'icon');
  icon.alt = '';
  if (item.icon) icon.src = item.icon;
  const content = element('div', 'content');
  // A title is plain text; a body is HTML (escaped text, a few tags).
  const title = element('div', 'title');
  title.textContent = item.title;
  content.append(title);
  const body = element('div', 'body');
  body.append(sanitize(item.body));
  content.append(body);
  if (item.pictures.length) {
    const pictures = element('div', 'pictures');
    for (const url of item.pictures) {
      const img = element('img');
      img.alt = '';
      img.loading = 'lazy';
      img.src = url;
      pictures.append(img);
    }
    content.append(pictures);
  }
  const meta = element('div', 'meta');
  meta.append(element('span', 'footer', item.footer), element('time', 'time', item.timestamp));
  content.append(meta);
  li.append(icon, content);
  li.title = item.hasAction ? 'Open in the Quillnet app' : '';
  li.addEventListener('click', (event) => {
    if (event.target.closest('a')) return;
    act('item', { id: item.id });
  });
  itemCache.set(item.id, { key, node: li });
  return li;
}

function renderFeed() {
  const nodes = state.feed.map(feedItem);
  const shown = new Set(state.feed.map((item) => item.id));
  for (const id of itemCache.keys()) {
    if (!shown.has(id)) itemCache.delete(id);
  }
  $('feed').replaceChildren(...nodes);
  $('feed-count').textContent = state.feed.length;
}

function notification(n) {
  const li = element('li', 'note' + (n.tappable ? ' tappable' : '') + (n.group ? ' group' : ' transient'));
  li.dataset.id = n.id;
  li.dataset.kind = n.kind;
  const close = element('button', 'close', '\u00d7');
  close.type = 'button';
  close.title = 'Dismiss';
  close.addEventListener('click', (event) => {
    event.stopPropagation();
    act('close', { id: n.id });
  });
  li.append(close);
  if (n.count > 0) li.append(element('span', 'badge', n.count));
  li.append(element('div', 'summary', n.summary));
  const body = element('div', 'body');
  body.append(sanitize(n.body));
  li.append(body);
  if (n.tappable) li.addEventListener('click', () => act('tap', { id: n.id }));
  return li;
}

function renderNotifications() {
  const groups = state.notifications.filter((n) => n.group);
  const transients = state.notifications.filter((n) => !n.group);
  $('groups').replaceChildren(...groups.map(notification));
  $('transients').replaceChildren(...transients.map(notification));
  $('group-count').textContent = groups.length;
  $('transient-count').textContent = transients.length;
}

function renderContacts() {
  const filter = $('contact-filter').value.trim().toLowerCase();
  const fragment = document.createDocumentFragment();
  for (const c of state.contacts) {
    if (filter && !(c.name + ' ' + c.status).toLowerCase().includes(filter)) continue;
    const li = element('li', 'contact');
    li.dataset.id = c.id;
    li.append(element('div', 'name', c.name || c.id));
    if (c.status) li.append(element('div', 'status', c.status));
    if (c.statusTime) li.append(element('div', 'time', c.statusTime.replace('T', ' ').replace('Z', ' UTC')));
    fragment.append(li);
  }
  $('contacts').replaceChildren(fragment);
  $('contact-count').textContent = state.contacts.length;
}

function renderActivity() {
  const lines = state.activity.slice().reverse().map((line) => element('li', null, line));
  $('activity').replaceChildren(...lines);
  $('view').value = state.view;
}

function noteFullRender() {
  if (firstFullRender !== null) return;
  if (!state.feed.length || !state.notifications.some((n) => n.group) || !state.contacts.length) return;
  // Since the page started loading (performance's time origin); read by the browser test.
  firstFullRender = performance.now();
  document.documentElement.dataset.firstFullRender = firstFullRender.toFixed(1);
  console.log('first full render after ' + firstFullRender.toFixed(1) + ' ms');
}

function receive(text) {
  let update;
  try {
    update = JSON.parse(text);
  } catch (error) {
    return;
  }
  if (Array.isArray(update.feed)) {
    state.feed = update.feed;
    renderFeed();
  }
  if (Array.isArray(update.notifications)) {
    state.notifications = update.notifications;
    renderNotifications();
  }
  if (Array.isArray(update.contacts)) {
    state.contacts = update.contacts;
    renderContacts();
  }
  if (Array.isArray(update.activity)) {
    state.activity = update.activity;
    state.view = update.view || 'home';
    renderActivity();
  }
  noteFullRender();
}

function connect() {
  // The browser reconnects on its own when the home screen was away.
  const events = new EventSource('live');
  events.addEventListener('open', () => {
    $('connection').textContent = 'live';
    $('connection').classList.add('live');
  });
  events.addEventListener('message', (event) => receive(event.data));
  events.addEventListener('error', () => {
    $('connection').textContent = 'reconnecting';
    $('connection').classList.remove('live');
  });
}

$('refresh').addEventListener('click', () => act('refresh'));
$('sync').addEventListener('click', () => act('sync'));
$('view').addEventListener('change', (event) => act('view', { view: event.target.value }));
$('read').addEventListener('submit', (event) => {
  event.preventDefault();
  const ids = $('read-ids').value.split(/[\s,]+/).filter((id) => id.length);
  act('read', { ids });
});
$('contact-filter').addEventListener('input', renderContacts);
connect();
