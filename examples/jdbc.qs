// Database actions through the JDBC connector on its embedded default: the data source "SQLite"
// with no host stored keeps each database in a file of <root>/jdbc-data (here example.db).
// Run it with:  build/bin/quill run examples/jdbc.qs
// On PostgreSQL the same script runs with -source='PostgreSQL' and a host stored for it
// (docs/jdbc.md); only the CREATE TABLE line names SQLite's types.

define tag sql(-text::string) => {
  db_statement(-source='SQLite', -database='example', -sql=$text) => {
    if (action_code() != 0) { 'failed: ' action_message() '\n' }
  }
}
define tag list_fruit(-title::string) => {
  $title ':\n'
  db_search(-source='SQLite', -database='example', -table='fruit', -sort='id') => {
    rows => { '  ' field('id') ' ' field('name') ' ' field('colour') ' ' field('price') ' (' field('stock') ')\n' }
  }
}

sql('DROP TABLE IF EXISTS fruit')
sql('CREATE TABLE fruit (id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE, colour TEXT, price REAL, stock INTEGER)')

// Adds: each field is a criterion of db_add; the generated key comes back as the row id.
db_add(-source='SQLite', -database='example', -table='fruit', ['name', 'Apple'], ['colour', 'red'], ['price', 0.5], ['stock', 40])
db_add(-source='SQLite', -database='example', -table='fruit', ['name', 'Banana'], ['colour', 'yellow'], ['price', 0.25], ['stock', 120])
db_add(-source='SQLite', -database='example', -table='fruit', ['name', 'Cherry'], ['colour', 'red'], ['price', 4.5], ['stock', 3])
db_add(-source='SQLite', -database='example', -table='fruit', ['name', 'Damson'], ['colour', 'purple'], ['price', 3.2], ['stock', 0])
db_add(-source='SQLite', -database='example', -table='fruit', ['name', 'Elderberry'], ['colour', 'purple'], ['price', 6], ['stock', 8])
db_add(-source='SQLite', -database='example', -table='fruit', ['name', 'Fig'], ['colour', 'green'], ['price', 1.1], ['stock', 25]) => {
  'Added Fig as row ' action_row_id() '\n'
}
list_fruit('All fruit')

// Searches: operators, a group, sorting, and paging with skip and maximum.
'\nRed or purple fruit under 5.00, dearest first:\n'
db_search(-source='SQLite', -database='example', -table='fruit', ['price', '<', 5],
          -group='or', ['colour', 'red'], ['colour', 'purple'], -group_end, -sort_desc='price') => {
  rows => { '  ' field('name') ' at ' field('price') '\n' }
  '  (the statement: ' action_statement() ')\n'
}
'Fruit in stock by name, page 2 at 2 a page ('
db_search(-source='SQLite', -database='example', -table='fruit', ['stock', '>', 0], -sort='name',
          -skip=2, -max=2) => {
  found_count() ' found):\n'
  rows => { '  ' row_number() '. ' field('name') '\n' }
}
'Names beginning with B or ending in g: '
db_search(-source='SQLite', -database='example', -table='fruit', ['name', 'begins', 'B'], ['name', 'ends', 'g'],
          -logic='or', -select='name', -sort='name') => { rows => { field('name') ' ' } }
'\n'

// Update and delete name one record by its key.
db_update(-source='SQLite', -database='example', -table='fruit', -key='name', -key_value='Cherry',
          ['price', 3.95], ['stock', 12]) => { '\nUpdated ' found_count() ' row\n' }
db_delete(-source='SQLite', -database='example', -table='fruit', -key='name', -key_value='Damson') => {
  'Deleted ' found_count() ' row\n'
}
db_add(-source='SQLite', -database='example', -table='fruit', ['name', 'Apple'], ['colour', 'green']) => {
  'A second Apple is refused: ' action_code() ' ' action_message() '\n'
}
db_search(-source='SQLite', -database='example', -table='nowhere') => {
  'A missing table: ' action_code() ' ' action_message() '\n'
}
list_fruit('\nAfter updating and deleting')
